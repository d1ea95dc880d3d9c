"""Plain Python twins of RecVoice, RecVoice_T and Input, laid out so that
every statement stands on the source line the native module reports for it.
Differential tests run both under the same fakes and compare what they do,
tracebacks included; the benchmarks use the twin's capture loop as a baseline.

`load()` returns a fresh module object holding the three twin classes and
the globals they look up at each use (pyaudio, time, np, deque, threading,
VoiceVD, RecVoice_T), which tests replace as they replace the module's."""
import collections
import threading
import time
import types

import numpy as np
import pyaudio

FILE = "twin/listening"

STATEMENTS = {
    43: "class RecVoice:",
    44: "    def __init__(self, sld: 'int' = 4, max_time: 'int' = 5, device_index: 'int' = None):",
    49: "        self._sld = sld",
    50: "        self.max_time_record = max_time",
    51: "        self.frame_is_append = True",
    53: "        self.RATE = 16000",
    54: "        self.FRAME_SIZE = 512",
    55: "        self.FORMAT = pyaudio.paInt16",
    56: "        self.CHANNELS = 1",
    58: "        self.pa = pyaudio.PyAudio()",
    59: "        self.stream = self.pa.open(format=self.FORMAT,",
    60: "                                   channels=self.CHANNELS,",
    61: "                                   rate=self.RATE,",
    62: "                                   input=True,",
    63: "                                   frames_per_buffer=self.FRAME_SIZE,",
    64: "                                   input_device_index=device_index)",
    66: "        self.voicevd = VoiceVD()",
    67: "        self.hist = deque(maxlen=10)",
    68: "        self.time_start = 0",
    70: "    def vad_audio(self):",
    71: "        frames = []",
    72: "        speech_detected = False",
    73: "        last_speech_time = time.time()",
    74: "        self.time_start = time.time()",
    75: "        speech_start = None",
    76: "        try:",
    77: "            while True:",
    78: "                frame = self.stream.read(self.FRAME_SIZE, exception_on_overflow=False)",
    80: "                p = self.voicevd(frame)",
    81: "                self.hist.append(p)",
    82: "                prob_avg = np.mean(self.hist)",
    83: "                is_speech = prob_avg > (0.35 if speech_detected else 0.6)",
    85: "                if is_speech:",
    86: "                    last_speech_time = time.time()",
    87: "                    speech_detected = True",
    88: "                    if speech_start is None:",
    89: "                        speech_start = last_speech_time",
    90: "                if self.frame_is_append:",
    91: "                    frames.append(frame)",
    93: "                now = time.time()",
    94: "                if speech_detected:",
    95: "                    if now - last_speech_time > self._sld:",
    96: "                        break",
    98: "                    if now - speech_start >= self.max_time_record:",
    99: "                        break",
    100: "        finally:",
    102: "            self.stream.stop_stream()",
    104: "        if not frames:",
    105: "            return None",
    106: "        audio_np = np.frombuffer(b''.join(frames), dtype=np.int16)",
    107: "        return audio_np",
    109: "    def record_audio(self):",
    110: "        self.stream.start_stream()",
    111: "        return self.vad_audio()",
    113: "class RecVoice_T(RecVoice):",
    114: "    def __init__(self, *args, **kwargs):",
    115: "        super().__init__(*args, **kwargs)",
    116: "        self.thread = None",
    117: "        self.audio_np = None",
    119: "    def start_recording(self):",
    120: "        if self.thread is not None and self.thread.is_alive(): return",
    121: "        self.thread = threading.Thread(target=self._record_audio_thread, daemon=True)",
    122: "        self.thread.start()",
    124: "    def _record_audio_thread(self):",
    125: "        self.audio_np = self.record_audio()",
    127: "    def stop_recording(self):",
    128: "        if self.thread and self.thread.is_alive():",
    129: "            self.thread.join()",
    131: "    def get_audio(self):",
    132: "        return self.audio_np",
    157: "class Input:",
    158: "    def __init__(self, asr_model, sld: 'int' = 1, max_time: 'int' = 3):",
    162: "        self.asr_model = asr_model",
    163: "        self.sld = sld",
    164: "        self.max_time = max_time",
    165: "        self.recorder = None",
    166: "        self._init()",
    168: "    def _init(self) -> 'None':",
    169: "        self.recorder = RecVoice_T(",
    170: "            sld=self.sld,",
    171: "            max_time=self.max_time)",
    174: "    def _recognize(self) -> 'Optional[str]':",
    175: "        try:",
    176: "            self.recorder.start_recording()",
    177: "            self.recorder.thread.join()",
    178: "            audio_data = self.recorder.get_audio()",
    180: "            if audio_data is None or len(audio_data) == 0:",
    181: "                print('Not valid Voice', flush=True)",
    182: "                return None",
    184: "            text = self.asr_model.generate(audio_data)",
    185: "            recognized_text = text.strip() if text else None",
    186: "            print(f'[ASR] {recognized_text}', flush=True)",
    187: "            return _str_or_none(recognized_text)",
    189: "        except Exception as e:",
    190: "            print('Error ' + str(e), flush=True)",
    191: "            return None",
    193: "    def _reset(self) -> 'None':",
    194: "        self._init()",
}


def _str_or_none(value):
    if value is not None and type(value) is not str:
        raise TypeError(f"Expected str, got {type(value).__name__:.200}")
    return value


def source():
    lines = [""] * max(STATEMENTS)
    for line, text in STATEMENTS.items():
        lines[line - 1] = text
    return "\n".join(lines) + "\n"


CODE = compile(source(), FILE, "exec")


def load(detector=None):
    """A fresh module with the twin classes; `detector` stands for VoiceVD."""
    mod = types.ModuleType("listening_twin_module")
    mod.__dict__.update(pyaudio=pyaudio, time=time, np=np, deque=collections.deque,
                        threading=threading, VoiceVD=detector, _str_or_none=_str_or_none)
    exec(CODE, mod.__dict__)
    return mod
