"""Speaking on the real path: espeak-ng through Output, simpleaudio to the
virtual speaker, whose monitor is recorded and compared with what the
synthesiser made. The speaker's monitor carries every played sample
unchanged, so each piece can be found in the recording exactly."""
import threading

import numpy as np

import cantorel.manage as M
from cantorel_dev.hosts.espeak_tts import RATE, EspeakTTS
from conftest import clean_exits

FRAME = RATE // 100  # 10 ms


def voiced(x, threshold=300):
    """The voiced 10 ms frames of x, as a boolean array."""
    n = len(x) // FRAME
    frames = x[:n * FRAME].astype(np.float64).reshape(n, FRAME)
    return np.sqrt((frames ** 2).mean(axis=1)) > threshold


def find(recording, piece, after):
    """Where `piece` lies sample for sample in the recording, at or after `after`."""
    lead = np.flatnonzero(piece)[0]
    # Candidates: where the piece's first non-zero sample occurs.
    for at in np.flatnonzero(recording[after + lead:] == piece[lead]) + after:
        if np.array_equal(recording[at:at + len(piece)], piece):
            return at
    raise AssertionError("piece not found in the recording")


class RecordingTTS(EspeakTTS):
    """The espeak-ng adapter, keeping what it returned for each text."""

    def __init__(self):
        super().__init__()
        self.made = []

    def ort_predict(self, text):
        audio = super().ort_predict(text)
        self.made.append((text, audio))
        return audio


def test_three_pieces_in_order_without_overlap(virtual_audio):
    tts = RecordingTTS()
    out = M.Output(tts)
    reply = "Yes. The quick brown fox jumps over the lazy dog. Good morning to you all!"
    chunks = [reply[i:i + 5] for i in range(0, len(reply), 5)]

    recording = virtual_audio.record_speaker()
    out._add_stream(iter(chunks))
    waiter = threading.Thread(target=out._wait_all, daemon=True)
    waiter.start()
    waiter.join(60)
    assert not waiter.is_alive()
    # Stopped right after _wait_all returned: had it returned before the last
    # piece ended, the end of that piece would be missing below.
    got, rate = recording.stop()

    assert rate == RATE
    assert [text for text, _ in tts.made] == ["Yes.", " The quick brown fox jumps over the lazy dog.",
                                              " Good morning to you all!"]
    pieces = [np.frombuffer(audio, "<i2") for _, audio in tts.made]
    lengths = [len(p) for p in pieces]
    assert len(set(lengths)) == 3 and min(lengths) > RATE // 4

    # In queue order, each after the previous one has ended.
    starts, after = [], 0
    for piece in pieces:
        at = find(got, piece, after)
        starts.append(at)
        after = at + len(piece)
    assert all(a + n <= b for a, n, b in zip(starts, lengths, starts[1:]))
    # The recording after the last piece is short: _wait_all did not linger.
    assert len(got) - after < RATE

    # Voiced segments: exactly those of the three pieces, at their places.
    expected = np.zeros(len(got), dtype=np.int16)
    for at, piece in zip(starts, pieces):
        expected[at:at + len(piece)] = piece
    assert np.array_equal(voiced(got), voiced(expected))
    for at, piece in zip(starts, pieces):
        inside = voiced(got[at:at + len(piece)])
        assert inside.sum() == voiced(piece).sum() > 0


EMPTY = """
import cantorel.manage as M
for data in (b"", b"\\0", b"\\0\\0" * 48):
    assert M.AudioPlayer.play_audio(data) is None
print("played")
"""


def test_empty_and_short_buffers_on_the_speaker(virtual_audio):
    # The debug allocator aborts on any allocator call made without the GIL,
    # which is how simpleaudio 1.0.4 ended every playback.
    for proc in clean_exits(EMPTY, 5, env={**virtual_audio.env, "PYTHONMALLOC": "debug"},
                            timeout=120):
        # The empty buffer plays as nothing; the odd byte is refused by
        # simpleaudio, and play_audio prints why.
        assert proc.stdout.splitlines()[1:] == ["played"]
        assert "not a multiple of bytes-per-sample" in proc.stdout.splitlines()[0]


EXIT_WHILE_PLAYING = """
import sys, threading, time
import numpy as np
import cantorel.manage as M

class Lines:
    # stdout that notes when the worker's line is complete; print writes a
    # line's text and its newline separately, so another thread's write
    # could otherwise land between them.
    def __init__(self, out):
        self.out, self.text, self.spoken = out, "", threading.Event()
    def write(self, s):
        written = self.out.write(s)
        self.text += s
        if "[TTS] a long tone\\n" in self.text:
            self.spoken.set()
        return written
    def flush(self):
        self.out.flush()

sys.stdout = Lines(sys.stdout)

class Tone:
    def ort_predict(self, text):
        t = np.arange(2 * 48000) / 48000
        return (8000 * np.sin(2 * np.pi * 440 * t)).astype("<i2").tobytes()

out = M.Output(Tone())
out.output_queue.put((1, "a long tone"))
sys.stdout.spoken.wait()  # the tone is queued for the play worker
time.sleep({delay})
sys.stdout.write("main done\\n")  # one write: nothing can come between
"""


def test_exit_while_simpleaudio_plays(virtual_audio):
    # The play worker waits in simpleaudio's wait_done (a sleep loop) when the
    # interpreter ends; delays spread the exit over the start of playback.
    for proc in clean_exits(lambda run: EXIT_WHILE_PLAYING.format(delay=0.05 * (run % 5)), 20,
                            env=virtual_audio.env, timeout=120):
        assert proc.stdout == "[TTS] a long tone\n" "main done\n"
