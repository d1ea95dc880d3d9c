"""The listening side of the module's Python twin (tests/twin): RecVoice,
RecVoice_T and Input, every statement on the module's line. `load()` gives a
fresh twin module whose globals (pyaudio, time, np, deque, threading,
VoiceVD, RecVoice_T) tests replace as they replace the module's."""
import twin

FILE = str(twin.PATH)


def source():
    return twin.SOURCE


def load(detector=None):
    """A fresh twin; `detector` stands for VoiceVD."""
    return twin.load(VoiceVD=detector)
