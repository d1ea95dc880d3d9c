"""The language model the loop talks to: a stand-in of a few rules (the default,
nothing to install or run), or any OpenAI-compatible chat-completions endpoint
streamed with `stream: true` (`--llm-url`).

Both give `reply(heard)`: an iterator of text chunks for Output._add_stream,
recording when the first and last chunk arrived and the whole text. The module's
intake reports an exception from the stream as a line of its own and goes on, so
a failed stream also leaves its LoopError in `error` for the loop to raise once
what had arrived has been spoken.
"""
from __future__ import annotations

import itertools
import json
import time
from typing import Iterator, Optional

from .errors import LoopError, one_line

CHUNK_SIZES = (3, 4)    # characters per chunk of the stand-in model's stream
CHUNK_DELAY = 0.05      # seconds between chunks, about a local model's pace
SYSTEM_PROMPT = ("You are a voice assistant. Your answer is spoken aloud: reply in a few short "
                 "plain sentences, without lists, markup or emoji.")


def compose_reply(heard: Optional[str]) -> str:
    """A rule-based answer of five sentences that quotes what it heard."""
    if not heard:
        return ("I heard something, but I could not make out any words. "
                "Perhaps it was too quiet, or too short. "
                "I am a stand-in for a language model, so I cannot guess. "
                "Each sentence is spoken while the rest is still arriving. "
                "Please try again, a little closer to the microphone.")
    words = heard.split()
    n = len(words)
    greeting = "Hello to you too! " if {"hello", "hi", "hey"} & {w.lower() for w in words} else ""
    return (f'{greeting}You said: "{heard}". '
            f"That was {n} word{'s' if n != 1 else ''}, and the last one was {words[-1]}. "
            "I am a stand-in for a language model, so I repeat what I hear. "
            "Each sentence is spoken while the rest is still arriving. "
            "Say something else, and I will answer.")


class _Timed:
    first_chunk: Optional[float] = None
    last_chunk: Optional[float] = None
    text: str = ""
    error: Optional[LoopError] = None

    def _begin(self) -> None:
        self.first_chunk = self.last_chunk = None
        self.text, self.error = "", None

    def _arrived(self, chunk: str) -> str:
        now = time.monotonic()
        if self.first_chunk is None:
            self.first_chunk = now
        self.last_chunk = now
        self.text += chunk
        return chunk


class StandInModel(_Timed):
    """Streams a reply the way a local language model does: a few characters at a time."""

    description = "the stand-in language model"

    def __init__(self, sizes=CHUNK_SIZES, delay: float = CHUNK_DELAY):
        self.sizes, self.delay = sizes, delay

    def stream(self, text: str) -> Iterator[str]:
        self._begin()
        sizes = itertools.cycle(self.sizes)
        pos = 0
        while pos < len(text):
            if pos:
                time.sleep(self.delay)
            n = next(sizes)
            yield self._arrived(text[pos:pos + n])
            pos += n

    def reply(self, heard: Optional[str]) -> Iterator[str]:
        return self.stream(compose_reply(heard))

    def close(self) -> None:
        pass


def completions_url(url: str) -> str:
    """The chat-completions address: `url` itself if it names it, else `url` as the
    API's base (what servers print, e.g. http://127.0.0.1:8080/v1)."""
    base = url.rstrip("/")
    return base if base.endswith("/chat/completions") else base + "/chat/completions"


class ChatModel(_Timed):
    """Streams replies from an OpenAI-compatible chat-completions endpoint.

    With `history` the conversation so far goes with every request; otherwise
    each request holds the system prompt and what was heard."""

    def __init__(self, url: str, model: Optional[str] = None, history: bool = False,
                 connect_timeout: float = 5.0, read_timeout: float = 60.0):
        try:
            import httpx
            import httpx_sse
        except ImportError as e:
            raise LoopError(f"--llm-url needs httpx and httpx-sse ({e}): "
                            "pip install '.[demo]' (or bash tools/setup.sh)") from None
        self._httpx, self._sse = httpx, httpx_sse
        self.url, self.model, self.keep_history = completions_url(url), model, history
        self.description = f"the language model at {self.url}"
        self.messages: list[dict] = [{"role": "system", "content": SYSTEM_PROMPT}]
        self.client = httpx.Client(timeout=httpx.Timeout(read_timeout, connect=connect_timeout))

    def close(self) -> None:
        self.client.close()

    def _fail(self, what: str, check: str) -> LoopError:
        self.error = LoopError(f"{self.description} {what}; {check}")
        return self.error

    def reply(self, heard: Optional[str]) -> Iterator[str]:
        self._begin()
        said = {"role": "user", "content": heard or "(I said something, but the recogniser made out no words.)"}
        body = {"messages": self.messages + [said], "stream": True}
        if self.model:
            body["model"] = self.model
        yield from self._stream(body)
        if self.keep_history:
            self.messages += [said, {"role": "assistant", "content": self.text}]

    def _stream(self, body: dict) -> Iterator[str]:
        httpx, sse = self._httpx, self._sse
        check_url = "check --llm-url (an OpenAI-compatible server's API base, e.g. http://127.0.0.1:8080/v1)"
        try:
            with sse.connect_sse(self.client, "POST", self.url, json=body) as source:
                response = source.response
                if response.status_code >= 400:
                    response.read()
                    raise self._fail(f"answered HTTP {response.status_code} {response.reason_phrase} "
                                     f"({one_line(response.text, 200) or 'no details'})",
                                     f"{check_url} and --llm-model")
                for event in source.iter_sse():
                    if event.data.strip() == "[DONE]":
                        return
                    chunk = self._content(event.data)
                    if chunk:
                        yield self._arrived(chunk)
        except LoopError:
            raise
        except sse.SSEError as e:
            raise self._fail(f"did not stream server-sent events ({one_line(e, 200)})",
                             f"{check_url}; it must support \"stream\": true") from None
        except httpx.ConnectError as e:
            raise self._fail(f"cannot be reached ({one_line(e, 200)})",
                             f"check that its server is running, and {check_url}") from None
        except httpx.TimeoutException:
            raise self._fail("did not answer in time", "check that its server is running and not overloaded") from None
        except httpx.HTTPError as e:
            raise self._fail(f"broke off the stream ({type(e).__name__}: {one_line(e, 200)})",
                             "check its server's log") from None

    def _content(self, data: str) -> str:
        """The text a streamed chat-completions chunk adds (often none)."""
        check = "check that --llm-url is an OpenAI-compatible chat-completions endpoint"
        try:
            event = json.loads(data)
        except ValueError:
            raise self._fail(f"sent an event that is not JSON ({one_line(data, 120)!r})", check) from None
        if isinstance(event, dict) and "error" in event:
            err = event["error"]
            message = err.get("message", err) if isinstance(err, dict) else err
            raise self._fail(f"reported an error ({one_line(message, 200)})", "check --llm-model and its server's log")
        try:
            choices = event["choices"]
            if not choices:  # usage or keep-alive chunks carry no choice
                return ""
            content = choices[0].get("delta", {}).get("content")
        except (KeyError, TypeError, IndexError, AttributeError):
            raise self._fail(f"sent an event that is not a chat-completions chunk ({one_line(data, 120)!r})",
                             check) from None
        if content is not None and not isinstance(content, str):
            raise self._fail(f"sent content that is not text ({one_line(data, 120)!r})", check)
        return content or ""
