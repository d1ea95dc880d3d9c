"""The voice loop's real language model (--llm-url): a streaming chat-completions
server on 127.0.0.1, run inside the test, that sends its reply a few characters
at a time; the client against it, and the whole loop speaking while it streams."""
import json
import re
import socket
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from cantorel_dev.loop.errors import LoopError
from cantorel_dev.loop.language import ChatModel
from conftest import ROOT
from test_voice_loop import LIGHT, SCRIPT, alive, exchange_ready, loop_env, one_line_error, timing  # noqa: F401

REPLY = ("Front center is where a speaker stands in a room. It faces the listener. "
         "The sound comes from straight ahead. Most films put the voices there. "
         "Ask me about another speaker.")


class ChatServer:
    """Streams REPLY as chat-completion chunks (`chunk` characters every `delay`
    seconds), or fails the way `mode` says. Records each request's body and
    when it sent each chunk of it; stops itself after `lifetime` s."""

    def __init__(self, mode="ok", chunk=4, delay=0.05, lifetime=120.0):
        self.mode, self.chunk, self.delay = mode, chunk, delay
        self.requests, self.sent = [], []  # sent[i]: when each chunk of requests[i] went out
        self.lock = threading.Lock()
        server = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_POST(self):
                body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
                sent = []
                with server.lock:
                    server.requests.append((self.path, body))
                    server.sent.append(sent)
                try:
                    server.answer(self, sent)
                except (BrokenPipeError, ConnectionResetError):
                    pass

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}/v1"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.stopper = threading.Timer(lifetime, self.httpd.shutdown)

    def __enter__(self):
        self.thread.start()
        self.stopper.start()
        return self

    def __exit__(self, *exc):
        self.stopper.cancel()
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(10)

    def event(self, h, payload):
        data = payload if isinstance(payload, str) else json.dumps(payload)
        h.wfile.write(f"data: {data}\n\n".encode())
        h.wfile.flush()

    @staticmethod
    def piece(delta, finish=None):
        return {"id": "c1", "object": "chat.completion.chunk",
                "choices": [{"index": 0, "delta": delta, "finish_reason": finish}]}

    def answer(self, h, sent):
        if self.mode == "http_error":
            body = b'{"error": {"message": "model \\"nope\\" not found"}}'
            h.send_response(404)
            h.send_header("Content-Type", "application/json")
            h.send_header("Content-Length", str(len(body)))
            h.end_headers()
            h.wfile.write(body)
            return
        h.send_response(200)
        h.send_header("Content-Type", "application/json" if self.mode == "not_sse" else "text/event-stream")
        h.end_headers()
        if self.mode == "not_sse":
            h.wfile.write(json.dumps({"choices": [{"message": {"content": REPLY}}]}).encode())
            return
        self.event(h, self.piece({"role": "assistant"}))  # no text yet, as servers begin
        for i in range(0, len(REPLY), self.chunk):
            sent.append(time.monotonic())
            self.event(h, self.piece({"content": REPLY[i:i + self.chunk]}))
            if i and self.mode in ("malformed", "not_chunk", "error_event"):
                bad = {"malformed": "{\"choices\": [{\"delta\": ", "not_chunk": {"object": "list"},
                       "error_event": {"error": {"message": "the model ran out of memory"}}}[self.mode]
                self.event(h, bad)
                return
            time.sleep(self.delay)
        self.event(h, self.piece({}, "stop"))
        self.event(h, "[DONE]")


def refused_url():
    with socket.socket() as s:  # a port nobody listens on once this closes
        s.bind(("127.0.0.1", 0))
        return f"http://127.0.0.1:{s.getsockname()[1]}/v1"


# ------------------------------------------------------------ the client

@pytest.mark.parametrize("history", [True, False])
@pytest.mark.parametrize("path", ["", "/chat/completions"])
def test_chat_model_streams_and_keeps_history_when_asked(history, path):
    with ChatServer(delay=0) as server:
        lm = ChatModel(server.url + path, "tiny", history=history)
        try:
            first = list(lm.reply("front center"))
            assert "".join(first) == lm.text == REPLY and len(first) > 10  # chunk by chunk
            assert lm.first_chunk < lm.last_chunk and lm.error is None
            assert "".join(lm.reply("rear left")) == REPLY
        finally:
            lm.close()
    (path1, body1), (path2, body2) = server.requests
    assert path1 == path2 == "/v1/chat/completions"
    assert body1["stream"] is True and body1["model"] == "tiny"
    roles = [(m["role"], m["content"]) for m in body2["messages"]]
    assert roles[0][0] == "system" and roles[-1] == ("user", "rear left")
    earlier = [("user", "front center"), ("assistant", REPLY)] if history else []
    assert roles[1:-1] == earlier


@pytest.mark.parametrize("mode, says", [
    ("refused", "cannot be reached"),
    ("http_error", "HTTP 404"),
    ("malformed", "not JSON"),
    ("not_chunk", "not a chat-completions chunk"),
    ("error_event", "ran out of memory"),
    ("not_sse", "did not stream"),
])
def test_chat_model_failure_says_what_to_check(mode, says):
    with ChatServer(mode, delay=0) as server:
        lm = ChatModel(refused_url() if mode == "refused" else server.url)
        chunks = []
        try:
            with pytest.raises(LoopError) as e:
                for c in lm.reply("front center"):
                    chunks.append(c)
        finally:
            lm.close()
    message = str(e.value)
    assert lm.error is e.value and says in message and "check" in message
    assert "\n" not in message
    # What arrived before a bad event was handed on; nothing after it.
    assert "".join(chunks) == (REPLY[:8] if mode in ("malformed", "not_chunk", "error_event") else "")


# ------------------------------------------------------------ the whole loop

def run_with(url, home, *extra):
    return subprocess.run([sys.executable, str(SCRIPT), *LIGHT, "--llm-url", url, *extra],
                          capture_output=True, text=True, env=loop_env(home), timeout=240,
                          stdin=subprocess.DEVNULL, cwd=str(ROOT))


def audio_server_gone(stdout):
    m = re.search(r"\(pulseaudio pid (\d+)\)", stdout)
    assert m, stdout
    deadline = time.monotonic() + 10
    while alive(int(m.group(1))) and time.monotonic() < deadline:
        time.sleep(0.1)
    return not alive(int(m.group(1)))


def test_speech_starts_before_the_stream_ends(exchange_ready, model_home, tmp_path):
    with ChatServer(delay=0.08) as server:  # about 4.6 s of stream
        r = run_with(server.url, model_home, "--llm-model", "tiny", "--out", str(tmp_path / "o.wav"))
    assert r.returncode == 0, r.stdout[-3000:] + r.stderr[-3000:]
    heard = re.search(r"^heard:\s+(.+)$", r.stdout, re.M).group(1)
    *_, (_, body) = server.requests  # before it, requests a speculation dropped when speech resumed
    assert body["messages"][-1] == {"role": "user", "content": heard}
    assert body["model"] == "tiny" and len(body["messages"]) == 2
    assert re.search(r"^replied:\s+(.+)$", r.stdout, re.M).group(1) == REPLY
    stream = server.sent[-1][-1] - server.sent[-1][0]
    to_sound = timing(r.stdout, "first reply chunk -> first sound")
    assert timing(r.stdout, "first reply chunk -> last reply chunk") == pytest.approx(stream, abs=0.5)
    assert to_sound is not None and to_sound < stream / 2, r.stdout
    assert audio_server_gone(r.stdout)


@pytest.mark.parametrize("mode, says", [
    ("refused", "cannot be reached"), ("http_error", "HTTP 404"), ("malformed", "not JSON")])
def test_llm_failure_ends_with_one_line(exchange_ready, model_home, tmp_path, mode, says):
    with ChatServer(mode, delay=0.02) as server:
        r = run_with(refused_url() if mode == "refused" else server.url, model_home,
                     "--out", str(tmp_path / "o.wav"))
    assert not server.thread.is_alive()
    one_line_error(r, says, "check", "language model at http://127.0.0.1:")
    assert audio_server_gone(r.stdout)
