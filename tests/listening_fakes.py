"""Scripted stand-ins for the listening side, injected through the module
globals that the capture bodies look up at each use: a PyAudio whose open()
records its arguments and returns a scripted stream, a clock that the stream
advances by one frame's duration per read, a detector that returns scripted
probabilities, a numpy whose mean can be replaced, and a gate that holds a
capture at one frame."""
import threading
import types

import numpy as np

FRAME = 512
STEP = 1 / 32  # seconds per 512-sample frame at 16 kHz, exact in binary


class EndOfScript(Exception):
    """Raised by a scripted stream that has no frame left."""


class Boom(Exception):
    """A failure planted in a fake."""


def raise_(exc):
    """Raises `exc`: for lambdas that must fail."""
    raise exc


def frame_bytes(index):
    """A 1024-byte frame whose samples all hold `index`, so the result shows which frames it kept."""
    return np.full(FRAME, index, dtype=np.int16).tobytes()


def kept(audio):
    """The indices of the frames an int16 capture result holds."""
    return audio.reshape(-1, FRAME)[:, 0].tolist()


class Clock:
    """time.time() that stands still until a read advances it."""

    def __init__(self, start=1000.0):
        self.now, self.calls, self.fail_at = start, 0, None

    def time(self):
        self.calls += 1
        if self.fail_at is not None and self.calls >= self.fail_at:
            raise OSError("clock failed")
        return self.now


class Stream:
    """read() hands out `count` frames (or the given frames) and advances the clock."""

    def __init__(self, clock=None, count=10_000, frames=None, step=STEP):
        self.clock, self.step, self.log = clock, step, []
        self.frames = frames
        self.count, self.index = count, 0
        self.on_read = None       # called with the frame index before it is returned
        self.stop_error = None

    def read(self, num_frames, exception_on_overflow=True):
        self.log.append(("read", num_frames, exception_on_overflow))
        if self.on_read is not None:
            self.on_read(self.index)
        if self.frames is not None:
            if self.index >= len(self.frames):
                raise EndOfScript(self.index)
            frame = self.frames[self.index]
        else:
            if self.index >= self.count:
                raise EndOfScript(self.index)
            frame = frame_bytes(self.index)
        self.index += 1
        if self.clock is not None:
            self.clock.now += self.step
        return frame

    def start_stream(self):
        self.log.append(("start_stream",))

    def stop_stream(self):
        self.log.append(("stop_stream",))
        if self.stop_error is not None:
            raise self.stop_error

    def close(self):
        self.log.append(("close",))

    def reads(self):
        return sum(1 for entry in self.log if entry[0] == "read")


class PyAudioModule(types.SimpleNamespace):
    """Stands for the `pyaudio` package: PyAudio() gives a handle whose open()
    records (args, keyword items in order) and returns the next stream."""

    def __init__(self, stream_factory):
        handles, opened, looked_up = [], [], []

        class Handle:
            def __init__(self, *args, **kwargs):
                handles.append((args, kwargs))

            def get_device_info_by_index(self, index):
                looked_up.append(index)
                return {"index": index}

            def open(self, *args, **kwargs):
                opened.append((args, list(kwargs.items())))
                return stream_factory()

        super().__init__(paInt16=8, PyAudio=Handle, handles=handles, opened=opened,
                         looked_up=looked_up)


def scripted_detector(probs, frames_seen=None):
    """A VoiceVD stand-in: each instance returns the scripted probabilities in
    order (callables are called with the frame and their result is returned)."""

    class ScriptedVD:
        instances = []

        def __init__(self):
            self.script = iter(probs)
            ScriptedVD.instances.append(self)

        def __call__(self, frame):
            if frames_seen is not None:
                frames_seen.append(frame)
            p = next(self.script)
            return p(frame) if callable(p) else p

    return ScriptedVD


def numpy_with(**overrides):
    """numpy, with some attributes replaced (for instance `mean`)."""
    ns = types.SimpleNamespace(**{name: getattr(np, name) for name in
                                  ("frombuffer", "int16", "mean", "float32", "zeros", "array",
                                   "int64", "newaxis", "concatenate")})
    for name, value in overrides.items():
        setattr(ns, name, value)
    return ns


def newest(hist):
    """A mean that is the newest value, so a scripted probability is the smoothed one."""
    return np.float64(hist[-1])


class Rig:
    """Installs the fakes on the module for one test (through monkeypatch)."""

    def __init__(self, manage, monkeypatch, probs=None, *, count=None, frames=None,
                 exact=True, real_detector=False):
        self.m = manage
        if count is None:
            # The stream ends with the script, so a capture that would go on
            # for ever ends with EndOfScript instead.
            count = len(probs) if probs is not None else 10_000
        self.clock = Clock()
        self.streams = []
        self.frames_seen = []

        def make_stream():
            stream = Stream(self.clock, count=count, frames=frames)
            self.streams.append(stream)
            return stream

        self.pyaudio = PyAudioModule(make_stream)
        monkeypatch.setattr(manage, "pyaudio", self.pyaudio)
        monkeypatch.setattr(manage, "time", self.clock)
        if not real_detector:
            self.detector = scripted_detector(probs if probs is not None else [],
                                              self.frames_seen)
            monkeypatch.setattr(manage, "VoiceVD", self.detector)
        if exact:
            monkeypatch.setattr(manage, "np", numpy_with(mean=newest))

    @property
    def stream(self):
        return self.streams[-1]


class Gate:
    """A stream's on_read that holds the capture at frame `at` until opened."""

    def __init__(self, at):
        self.at, self.reached, self.opened = at, threading.Event(), threading.Event()

    def __call__(self, i):
        if i == self.at:
            self.reached.set()
            assert self.opened.wait(30)
