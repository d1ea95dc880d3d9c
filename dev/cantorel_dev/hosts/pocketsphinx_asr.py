"""Speech recognition with PocketSphinx and the US English model it ships
(no download): `PocketSphinxASR().generate(samples) -> str`."""
from __future__ import annotations

import threading


from . import mono_int16

RATE = 16000  # what the capture loop records and what the model was trained on


class PocketSphinxASR:
    """Recognises one utterance at a time.

    `generate(samples)` takes the utterance as a 1-D numpy int16 array of mono
    16 kHz audio and returns the words it heard, lower case, separated by
    single spaces, or "" when it heard none. The array is only read."""

    def __init__(self, **config):
        """`config` goes to pocketsphinx.Decoder on top of the defaults (the
        bundled en-us model), e.g. `lm=...` or `dict=...`."""
        from pocketsphinx import Decoder
        # loglevel: the decoder otherwise writes its whole configuration to stderr.
        settings = {"samprate": RATE, "loglevel": "ERROR", **config}
        self._decoder = Decoder(**settings)
        # One decoder, one utterance at a time: it keeps the search state between
        # start_utt and end_utt.
        self._lock = threading.Lock()

    def generate(self, samples) -> str:
        x = mono_int16(samples)
        if x.size == 0:
            return ""
        data = x.astype("<i2", copy=False).tobytes()  # a copy in the model's byte order
        with self._lock:
            self._decoder.start_utt()
            try:
                # full_utt: the whole utterance at once, so cepstral mean
                # normalisation uses all of it instead of a running guess.
                self._decoder.process_raw(data, full_utt=True)
            finally:
                self._decoder.end_utt()
            hyp = self._decoder.hyp()
        return " ".join(hyp.hypstr.split()) if hyp is not None else ""
