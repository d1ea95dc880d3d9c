"""Pieces shared by the scripts that end an interpreter while a daemon thread
waits inside the module. Those scripts run in fresh interpreters with tests/
as their working directory and import this; they must import it from the
main thread."""
import os
import sys
import threading
import time
import types


class Guard:
    """Given to the module's frames while a daemon waits there, and held by
    nothing else. Says so on stderr if it is freed on the daemon thread during
    finalization: a reference count touched by a thread that no longer holds
    the GIL."""

    # Everything it uses is bound now: module globals may be gone when it runs.
    def __del__(self, write=os.write, ident=threading.get_ident, main=threading.get_ident(),
                finalizing=sys.is_finalizing):
        if ident() != main and finalizing():
            write(2, b"guard freed on the daemon thread\n")


def release_while_finalizing(release, native_id):
    """Calls `release()` once finalization has begun (when sys.modules is
    emptied), then waits until the daemon thread `native_id` has ended. Writes
    "released while finalizing" and then "daemon ended" to stderr."""

    class Late:
        def __del__(self, release=release, sleep=time.sleep, write=os.write,
                    exists=os.path.exists, task="/proc/self/task/%d" % native_id):
            write(2, b"released while finalizing\n")
            release()
            for _ in range(500):
                if not exists(task):
                    write(2, b"daemon ended\n")
                    break
                sleep(0.01)

    holder = sys.modules["exit_holder"] = types.ModuleType("exit_holder")
    holder.late = Late()


# ------------------------------------------------------------ the exit matrix
# Each scene leaves threads of the module where an interpreter exit can find
# them, and returns once they are there. Fakes stand in for the devices;
# the detector is the real model (HOME must hold it).

def _blocked(*args, **kwargs):
    threading.Event().wait()  # releases the GIL and never returns


def _waiting_in(thread, name):
    for _ in range(5000):
        frame = sys._current_frames().get(thread.ident)
        while frame is not None:
            if frame.f_code.co_name == name:
                return
            frame = frame.f_back
        time.sleep(0.002)
    raise AssertionError(f"{thread.name} never reached {name}")


def _capture(M, read):
    from listening_fakes import PyAudioModule
    reads = threading.Semaphore(0)

    class Stream:
        def start_stream(self):
            pass

        def stop_stream(self):
            pass

        def read(self, num_frames, exception_on_overflow=True):
            reads.release()
            return read()

    M.pyaudio = PyAudioModule(Stream)
    rec = M.RecVoice_T()
    rec.start_recording()
    for _ in range(20):  # a few frames through the loop
        assert reads.acquire(timeout=60)
    return rec


def _output(M, predict=None, wait_done=None):
    class Model:
        def ort_predict(self, text):
            return (predict or (lambda t: b"\0\0" * 480))(text)

    class Playing:
        def wait_done(self):
            (wait_done or (lambda: None))()

    class WaveObject:
        def __init__(self, data, **kwargs):
            pass

        def play(self):
            return Playing()

    M.sa = types.SimpleNamespace(WaveObject=WaveObject)
    out = M.Output(Model())
    out.output_queue.put((1, "A piece."))
    return out


def _scene_capture_read(M):
    entered = threading.Event()
    state = {"reads": 0}

    def read():
        state["reads"] += 1
        if state["reads"] > 20:
            entered.set()
            _blocked()
        return bytes(1024)
    rec = _capture(M, read)
    assert entered.wait(60)
    _waiting_in(rec.thread, "_blocked")


def _scene_four_detectors(M):
    detector, counts = M.VoiceVD(), [0] * 4

    def spin(i):
        while True:
            detector(bytes(1024))
            counts[i] += 1
    for i in range(4):
        threading.Thread(target=spin, args=(i,), daemon=True).start()
    while min(counts) < 5:
        time.sleep(0.005)


def _scene_tts_synthesises(M):
    out = _output(M, predict=_blocked)
    _waiting_in(out.tts_thread, "_blocked")


def _scene_play_worker_plays(M):
    out = _output(M, wait_done=_blocked)
    _waiting_in(out.play_thread, "_blocked")
    # The TTS worker prints its line after handing the piece on; the scene's
    # caller prints next, and the two lines must not interleave.
    _waiting_in(out.tts_thread, "get")


def _scene_tts_waits_in_get(M):
    out = _output(M)
    out._wait_all()
    _waiting_in(out.tts_thread, "get")
    _waiting_in(out.play_thread, "get")


def _scene_barge_in(M):
    """The person cut in: their speech (a real recording, the real detector)
    stopped the reply, the next piece is still in synthesis, and the
    listener's capture waits for the rest of the utterance."""
    import numpy as np
    from cantorel import duplex
    from listening_fakes import PyAudioModule
    from cantorel_dev.speech_frames import FRONT_CENTER, wav_16k
    # The first word, "front" (16 frames; the onset is its seventh speech frame),
    # then the capture waits for more, still in speech: its clocks (sld, max_time)
    # run on wall time, which a loaded machine could spend before the whole
    # recording was read.
    speech = wav_16k(FRONT_CENTER).astype(np.int16)
    said = iter([speech[i:i + 512].tobytes() for i in range(0, 16 * 512, 512)])
    player = duplex.StoppablePlayer(types.SimpleNamespace(
        get_format_from_width=lambda width: 8, open=lambda **kw: Device()))

    class Device:
        def write(self, data):
            time.sleep(0.02)  # a block's worth of sound

        def stop_stream(self):
            pass

        def close(self):
            pass

    class Microphone:
        def start_stream(self):
            pass

        def stop_stream(self):
            pass

        def read(self, num_frames, exception_on_overflow=True):
            # The person speaks once the next piece is in synthesis: on a
            # loaded machine the TTS worker could otherwise still be on its
            # way to it when the reply is stopped, and the piece dropped.
            if not (player.playing and in_synthesis.is_set()) and not barge.interrupted:
                time.sleep(0.01)
                return bytes(1024)
            return next(said, None) or _blocked()

    in_synthesis = threading.Event()

    class Voice:
        def ort_predict(self, text):
            if "Held" in text:
                in_synthesis.set()
                _blocked()
            return bytes(2 * 48000 * 2)

    M.pyaudio = PyAudioModule(Microphone)
    mouth = M.Output(Voice())
    barge = duplex.BargeIn(M.Input(types.SimpleNamespace(generate=lambda samples: "")), mouth,
                           player=player)
    mouth._add_stream(barge.reply(["One. Held. Two."]))
    mouth._wait_all()  # at once when the reply is stopped
    assert barge.interrupted
    _waiting_in(barge.listener._turn.thread, "_blocked")
    _waiting_in(mouth.tts_thread, "_blocked")


def _scene_echo_canceller_reads(M):
    """The kit's echo canceller (prompt_input's echo_reference) reads the microphone in its thread."""
    from cantorel import echo

    class Reference:
        def read(self, num_frames, exception_on_overflow=True):
            return bytes(2 * num_frames)

    class Microphone(Reference):
        def read(self, num_frames, exception_on_overflow=True):
            _blocked()

    stream = echo.CancellingStream(Microphone(), Reference())
    _waiting_in(stream._thread, "_blocked")


SCENES = {
    "capture waits in read": _scene_capture_read,
    "capture inside the model run": lambda M: _capture(M, lambda: bytes(1024)),
    "TTS worker waits in get": _scene_tts_waits_in_get,
    "TTS worker synthesises": _scene_tts_synthesises,
    "play worker plays": _scene_play_worker_plays,
    "four threads loop through the detector": _scene_four_detectors,
    "barge-in: the reply stopped, the interruption still being captured": _scene_barge_in,
    "the kit's echo canceller reads the microphone": _scene_echo_canceller_reads,
}


def start_scene(name):
    import cantorel.manage as M
    SCENES[name](M)
