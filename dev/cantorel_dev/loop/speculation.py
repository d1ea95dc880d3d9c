"""Speculation, the loop's default (--no-speculate: one step after another):
cantorel.speculate's Speculator on the loop's Input and Output, beneath the
timing wrappers, and each language-model request on a copy of the model."""
from __future__ import annotations

import copy
import queue
import time
from typing import Optional


class Requests:
    """`respond(text)` for the Speculator. Each request runs on a copy of the
    loop's language model, so a dropped one (its text, timings and error,
    still arriving after it was dropped) leaves the one replied with alone;
    the conversation grows only by the replies that were spoken."""

    def __init__(self, lm):
        self.lm = lm
        self._made: dict[int, tuple[object, object]] = {}

    def __call__(self, text):
        request = copy.copy(self.lm)
        if hasattr(request, "messages"):
            request.messages = list(self.lm.messages)
        stream = request.reply(text)
        self._made[id(stream)] = (stream, request)
        return stream

    def of(self, stream):
        """The request behind `stream`; from now on its conversation is the model's."""
        _, request = self._made[id(stream)]
        self._made.clear()  # the rest were dropped
        if hasattr(request, "messages"):
            self.lm.messages = request.messages  # the list its reply is added to when it ends
        return request


class Speculation:
    def __init__(self, inp, out, asr, tts, lm, listener=None, pause: float = 0.2):
        from cantorel.speculate import AheadRecognizer, AheadVoice, Speculator
        self.requests = Requests(lm)
        recognizer, voice = AheadRecognizer(asr.asr), AheadVoice(tts.tts)
        # The timing wrappers stay outermost: they time what the module calls.
        asr.asr, tts.tts = recognizer, voice
        self.kit = Speculator(inp, out, self.requests, recognizer=recognizer, voice=voice,
                              listener=listener, pause=pause)

    @property
    def turn(self):
        return self.kit.last

    def reply(self, heard: Optional[str]):
        """The stream for Output._add_stream, and the request it comes from."""
        stream = self.kit.reply(heard)
        return stream, self.requests.of(self.kit.last.source)


def settle(spec: Optional[Speculation], out, timeout: float = 2.0) -> None:
    """After Ctrl-C or a failure: what is left unsaid is dropped, and the
    threads still inside the recogniser or the voice get `timeout` seconds to
    come out, so that none is inside a C++ extension when the interpreter ends
    (the espeak voice's resampler ended the process with std::terminate there,
    once speculation had queued the reply's pieces at once)."""
    if spec is not None:
        spec.kit.close(timeout)
    q = getattr(out, "output_queue", None)
    if type(q) is not queue.Queue:  # none yet, or a barge-in Speaker's, which counts on its own
        return
    with q.mutex:
        q.unfinished_tasks -= len(q.queue)
        q.queue.clear()
        if not q.unfinished_tasks:
            q.all_tasks_done.notify_all()
    deadline = time.monotonic() + timeout
    while q.unfinished_tasks and time.monotonic() < deadline:  # the piece in synthesis
        time.sleep(0.02)
