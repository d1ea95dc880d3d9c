"""Checks an installed cantorel from the outside, as a user's machine would run it.

tools/test_wheels.sh runs this with the python of a fresh venv that holds
only what `pip install` put there (never the source tree's package): the
module imports without a warning, its metadata carries the repository's
licence, it scores real speech and silence with the real model, the wheel
does not carry the development package (cantorel_dev, taken from the source
tree here), an `Output` speaks a scripted voice through simpleaudio to the
virtual speaker, and PyAudio hears the virtual microphone. The last two
prove that the repaired PyAudio and simpleaudio wheels still reach the sound
server through the machine's ALSA configuration and plugins.

    python tools/wheel_check.py [--model PATH]

Prints one line per check; exits 1 at the first that fails.
"""
from __future__ import annotations

import argparse
import importlib.metadata
import importlib.util
import os
import shutil
import sys
import sysconfig
import tempfile
import threading
import warnings
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DEV = ROOT / "dev" / "cantorel_dev"
PLAY_RATE = 48000    # what Output's voice must produce
TONE_HZ = 440


class CheckFailed(Exception):
    pass


def check(ok: bool, what: str) -> None:
    if not ok:
        raise CheckFailed(what)


def dev_package():
    """cantorel_dev, for the virtual devices and the recordings: from the
    source tree, since the wheel must not carry it and this venv holds only
    what the wheels installed."""
    carried = [str(f) for f in importlib.metadata.files("cantorel") or () if f.parts[0] == DEV.name]
    check(not carried, f"the cantorel wheel carries the development package: {carried[:3]}")
    if importlib.util.find_spec(DEV.name) is None:
        spec = importlib.util.spec_from_file_location(DEV.name, DEV / "__init__.py",
                                                      submodule_search_locations=[str(DEV)])
        sys.modules[DEV.name] = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(sys.modules[DEV.name])
    import cantorel_dev.speech_frames
    import cantorel_dev.virtual_audio
    return cantorel_dev


def import_module():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        import cantorel.manage as manage
    where = Path(manage.__file__).resolve()
    site = Path(sysconfig.get_paths()["platlib"]).resolve()
    check(site in where.parents, f"cantorel.manage comes from {where}, not from {site}")
    check(not caught, f"importing warned: {[str(w.message) for w in caught]}")
    print(f"wheel_check: imported {where.name} on {sys.version.split()[0]}")
    return manage


def licence() -> None:
    from importlib import metadata
    dist = metadata.distribution("cantorel")
    expression = dist.metadata.get("License-Expression")
    check(expression == "MIT", f"License-Expression is {expression!r}, not 'MIT'")
    files = [f for f in dist.files or () if f.parts[-2:] == ("licenses", "LICENSE")]
    check(len(files) == 1, f"the install's metadata holds {len(files)} licenses/LICENSE")
    check(files[0].read_text() == (ROOT / "LICENSE").read_text(),
          f"{files[0]} is not the repository's LICENSE")
    print(f"wheel_check: licence: {expression}, {files[0]}")


def score_frames(manage, recordings) -> None:
    frame = recordings.FRAME
    x = recordings.wav_16k(recordings.FRONT_CENTER)
    vad = manage.VoiceVD()
    silence = [vad(bytes(2 * frame)) for _ in range(8)]
    vad.reset()
    speech = [vad(x[i:i + frame].tobytes()) for i in range(0, len(x) - frame + 1, frame)]
    check(all(0.0 <= p <= 1.0 for p in silence + speech), "a probability outside [0, 1]")
    check(max(silence) < 0.1, f"silence scored up to {max(silence):.3f}")
    check(max(speech) > 0.8, f"speech scored at most {max(speech):.3f}")
    print(f"wheel_check: detector: silence <= {max(silence):.3f}, speech up to {max(speech):.3f}")


class ScriptedVoice:
    """A TTS model whose every piece is a 0.15 s tone at 48 kHz."""

    def __init__(self, np):
        t = np.arange(int(0.15 * PLAY_RATE)) / PLAY_RATE
        self.pcm = (8000 * np.sin(2 * np.pi * TONE_HZ * t)).astype("<i2").tobytes()
        self.texts: list[str] = []
        self.lock = threading.Lock()

    def ort_predict(self, text):
        with self.lock:
            self.texts.append(text)
        return self.pcm


def speak(manage, np, audio) -> None:
    voice = ScriptedVoice(np)
    out = manage.Output(voice)
    with audio.record_speaker() as rec:
        out._add_stream(iter(["Hello the", "re. A second", " piece! And the end."]))
        out._wait_all()
        samples, rate = rec.stop()
    check(voice.texts == ["Hello there.", " A second piece!", " And the end."],
          f"the voice got {voice.texts}")
    loud = np.abs(samples.astype(np.int32)) > 2000
    heard = loud.sum() / rate
    # Three tones of 0.15 s; about half their samples are above a quarter of the peak.
    check(heard > 0.15, f"the speaker heard {heard:.3f} s of tone")
    spectrum = np.abs(np.fft.rfft(samples.astype(np.float64)))
    peak = np.fft.rfftfreq(len(samples), 1 / rate)[spectrum.argmax()]
    check(abs(peak - TONE_HZ) < 5, f"the speaker's loudest frequency is {peak:.0f} Hz")
    print(f"wheel_check: Output spoke {len(voice.texts)} pieces; the speaker got "
          f"{heard:.2f} s above threshold at {peak:.0f} Hz")


def listen(np, audio, frame) -> None:
    import pyaudio
    pa = pyaudio.PyAudio()
    try:
        stream = pa.open(format=pyaudio.paInt16, channels=1, rate=16000, input=True,
                         frames_per_buffer=frame)
        t = np.arange(16000) / 16000
        tone = (8000 * np.sin(2 * np.pi * TONE_HZ * t)).astype(np.int16)
        player = audio.play_into_microphone(tone, 16000, wait=False)
        got = [np.frombuffer(stream.read(frame, exception_on_overflow=False), "<i2")
               for _ in range(60)]  # ~1.9 s
        player.wait(10)
        stream.close()
    finally:
        pa.terminate()
    peak = max(int(np.abs(g.astype(np.int32)).max()) for g in got)
    check(peak > 4000, f"PyAudio heard a peak of {peak} while a tone played into the microphone")
    print(f"wheel_check: PyAudio heard the microphone (peak {peak})")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", default=os.path.expanduser("~/.cache/sonvale/voicevd.pt"),
                        help="the speech-probability model (default: %(default)s)")
    args = parser.parse_args(argv)
    if not Path(args.model).is_file():
        print(f"wheel_check: no model at {args.model}; run bash tools/setup.sh", file=sys.stderr)
        return 1
    import numpy as np
    # The module finds its model under ~/.cache: a private HOME holds a copy,
    # so nothing depends on (or touches) the caller's.
    home = tempfile.mkdtemp(prefix="wheel-check-home-")
    try:
        dest = Path(home, ".cache", "sonvale", "voicevd.pt")
        dest.parent.mkdir(parents=True)
        shutil.copyfile(args.model, dest)
        os.environ["HOME"] = home
        manage = import_module()
        licence()
        dev = dev_package()
        score_frames(manage, dev.speech_frames)
        with dev.virtual_audio.VirtualAudio() as audio:
            audio.apply_to_current_process()
            speak(manage, np, audio)
            listen(np, audio, dev.speech_frames.FRAME)
    except CheckFailed as e:
        print(f"wheel_check: FAILED: {e}", file=sys.stderr)
        return 1
    finally:
        shutil.rmtree(home, ignore_errors=True)
    print("wheel_check: all passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
