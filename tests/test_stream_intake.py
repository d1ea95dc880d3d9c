"""Output._add_stream against the same statements run by the interpreter.

The module keeps the reply as its chunks while its own _splitsen does the
cutting and joins it into one str when anything else must see it (a
subclass's _splitsen, a chunk that is not a str). Every case runs both the
module's method and its plain Python twin (speaking_twin.add_stream) on
objects that record what is queued, and compares the items, the printed lines
and what any _splitsen was given."""
import contextlib
import io

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import entries, ours
from speaking_fakes import Events, Model, ScriptedSA, finishes, spoken
from cantorel_dev.speaking_twin import LABEL, add_stream as twin
from cantorel_dev.twin import line_of

import cantorel.manage as M

LOOP = line_of("Output._add_stream", "for chunk_text")  # where the stream is read


class Recorder:
    """output_queue stand-in: keeps what is put, and when."""

    def __init__(self, log):
        self.log = log

    def put(self, item):
        self.log.append(("put", item))


def idle_output(cls=M.Output):
    """An Output whose workers never see the items: output_queue records them."""
    out = cls.__new__(cls)
    out.log = []
    out.output_queue = Recorder(out.log)
    return out


def printing(call, *args):
    """call(*args) with stdout captured: (its result, what it printed)."""
    with contextlib.redirect_stdout(io.StringIO()) as captured:
        result = call(*args)
    return result, captured.getvalue()


def run(method, chunks, cls=M.Output):
    """Runs `method(out, chunks)` on a fresh recording object; returns its log
    (puts, the chunks taken, and the lines printed, in order)."""
    out = idle_output(cls)

    def stream():
        for chunk in chunks() if callable(chunks) else chunks:
            out.log.append(("chunk", chunk))
            yield chunk

    result, printed = printing(method, out, stream())
    assert result is None
    return out.log, printed


def both(chunks, cls=M.Output):
    native = run(cls._add_stream, chunks, cls)
    python = run(twin, chunks, cls)
    assert native == python
    return native


def both_on_subclasses(chunks_for, namespace=dict):
    """`both` on a fresh subclass of Output for each of the two methods, made
    with `namespace()`; `chunks_for(cls)` gives the chunks."""
    logs = []
    for method in (M.Output._add_stream, twin):
        cls = type("Sub", (M.Output,), namespace())
        logs.append(run(method, chunks_for(cls), cls))
    assert logs[0] == logs[1]
    return logs[0]


# ------------------------------------------------------------ worked examples

@pytest.mark.parametrize("chunks, log", [
    (["Hel", "lo. Wo", "rld"],
     [("chunk", "Hel"), ("chunk", "lo. Wo"), ("put", (1, "Hello.")), ("chunk", "rld"),
      ("put", (2, "World"))]),
    (["Hi. Bye."], [("chunk", "Hi. Bye."), ("put", (1, "Hi.")), ("put", (2, " Bye."))]),
    (["Hi.  \n"], [("chunk", "Hi.  \n"), ("put", (1, "Hi."))]),
    ([], []),
    (["你好，", "世界。再", "见"],
     [("chunk", "你好，"), ("put", (1, "你好，")), ("chunk", "世界。再"), ("put", (2, "世界。")),
      ("chunk", "见"), ("put", (3, "再见"))]),
    (["One, two", "! Three"],
     [("chunk", "One, two"), ("put", (1, "One,")), ("chunk", "! Three"), ("put", (2, " two!")),
      ("put", (3, "Three"))]),
])
def test_worked_examples(chunks, log):
    got, printed = both(chunks)
    assert got == log
    assert printed == LABEL + "".join(chunks) + "\n"


def test_a_whitespace_rest_is_not_queued():
    got, printed = both(["A. ", " \t"])
    assert [e for e in got if e[0] == "put"] == [("put", (1, "A."))]
    assert printed == f"{LABEL}A.  \t\n"


# ------------------------------------------------------------ generated replies

ALPHABET = list("ab .,!?;\n") + ["\uff0c", "\u3002", "\uff01", "é", "你", "\u0100", "😀",
                                 "\U0010ffff"]


@st.composite
def chunked(draw, alphabet=ALPHABET):
    text = draw(st.text(alphabet=st.sampled_from(alphabet), max_size=400))
    cuts = sorted(draw(st.lists(st.integers(0, len(text)), max_size=60)))
    bounds = [0, *cuts, len(text)]
    return [text[a:b] for a, b in zip(bounds, bounds[1:])]


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(chunks=chunked())
def test_generated_replies(chunks):
    both(chunks)


WIDTH_TEXTS = {  # by the storage width of the whole reply and of its chunks
    "1-byte": "Hello there, how are you? Fine. Yes! No, never." * 4,
    "2-byte": "你好，世界。再见，朋友。" * 8 + "ok, fine.",
    "4-byte": "a😀, b. c😀! d?" * 10,
    "mixed": "plain, words. 你好，世界。 😀 end! " * 5,
}


@pytest.mark.parametrize("size", [1, 2, 3, 7, 15, 16, 17, 33])
@pytest.mark.parametrize("kind", list(WIDTH_TEXTS))
def test_the_two_cutting_paths_agree_on_every_width(kind, size):
    """The reply's own cut across its chunks (each chunk scanned at its own
    width) against _splitsen on the joined text (the twin's loop calls it)."""
    text = WIDTH_TEXTS[kind]
    log, _ = both([text[i:i + size] for i in range(0, len(text), size)])
    pieces = [item[1] for event, item in log if event == "put"]
    _, cut = M.Output._splitsen(text, 0)
    assert pieces[:len(cut)] == cut and len(pieces) - len(cut) in (0, 1)


def test_long_reply_in_small_chunks():
    text = ("Some words, then more words. " * 40 + "你好，世界。" * 40 + "😀 a, b. " * 40) * 10
    got, printed = both([text[i:i + 3] for i in range(0, len(text), 3)])
    assert printed == f"{LABEL}{text}\n"
    pieces = [item[1] for kind, item in got if kind == "put"]
    assert "".join(pieces).replace(" ", "") == text.replace(" ", "")


def test_a_reply_without_separators():
    text = "word " * 5000
    got, printed = both([text[i:i + 7] for i in range(0, len(text), 7)])
    assert [e for e in got if e[0] == "put"] == [("put", (1, text.strip()))]


# ------------------------------------------------------------ _splitsen overridden

def recording_splitsen(rule):
    calls = []

    def _splitsen(text, start):
        calls.append((text, start))
        return rule(text, start)
    return calls, staticmethod(_splitsen)


RULES = {
    "delegates": lambda text, start: M.Output._splitsen(text, start),
    "commas-only": lambda text, start: M.Output._splitsen(text, start, ","),
    "list-of-words": lambda text, start: (len(text), text[start:].split()),
    "generator": lambda text, start: (start, (w for w in ["x"] if len(text) % 2)),
    "float-start": lambda text, start: (start + 0.0 if len(text) < 6 else 3, []),
    "beyond": lambda text, start: (len(text) + 5, ["b"]),
}


@pytest.mark.parametrize("rule", RULES, ids=list(RULES))
def test_a_subclass_splitsen_sees_the_full_text_so_far(rule):
    chunks = ["Hel", "lo, wo", "rld. ", "How", " are", " you?", " Fine"]
    seen = []

    def namespace():
        calls, override = recording_splitsen(RULES[rule])
        seen.append(calls)
        return {"_splitsen": override}

    both_on_subclasses(lambda cls: chunks, namespace)
    assert seen[0] == seen[1]
    assert [text for text, _ in seen[0]] == ["".join(chunks[:i + 1]) for i in range(len(chunks))]


def test_splitsen_replaced_during_the_stream():
    """The method is looked up for every chunk: the cutting switches between the
    module's own rule and an override, and back, mid-reply."""
    def chunks(cls):
        def gen():
            yield "One, tw"
            cls._splitsen = staticmethod(lambda t, s: (len(t), [t[s:].upper()]))
            yield "o. thr"
            yield "ee, f"
            del cls._splitsen
            yield "our. fi"
            cls._splitsen = staticmethod(lambda t, s: (s + 1, []))
            yield "ve, six"
            del cls._splitsen
            yield ", seven"
        return gen

    log, _ = both_on_subclasses(chunks)
    assert ("put", (2, " TWO. THR")) in log


def test_long_reply_with_the_rule_switched_midway():
    """Thousands of chunks on each side of a switch to an override and back."""
    text = "One, two. Three! 你好，世界。 😀 four? " * 300
    def chunks(cls):
        def gen():
            for i, c in enumerate(text):
                if i == len(text) // 3:
                    cls._splitsen = staticmethod(lambda t, s: M.Output._splitsen(t, s, "!"))
                if i == 2 * len(text) // 3:
                    del cls._splitsen
                yield c
        return gen

    assert both_on_subclasses(chunks)[1] == f"{LABEL}{text}\n"


def test_instance_attribute_splitsen():
    logs = []
    for method in (M.Output._add_stream, twin):
        out = idle_output()
        out._splitsen = lambda t, s: (len(t), [t[s:]])
        logs.append((out.log, printing(method, out, iter(["ab", "cd"]))[1]))
    assert logs[0] == logs[1] == ([("put", (1, "ab")), ("put", (2, "cd"))], f"{LABEL}abcd\n")


# ------------------------------------------------------------ chunks that are not str

class Text(str):
    pass


class RightAdd:
    def __radd__(self, other):
        return other + "[radd]. "


class RightAddText(str):
    def __radd__(self, other):
        return Text(other + str.upper(self))


@pytest.mark.parametrize("odd", [5, None, b"bytes", Text("sub, class. "), RightAdd(),
                                 RightAddText("right, "), ["list"]],
                         ids=lambda v: type(v).__name__)
def test_chunks_that_are_not_exactly_str(odd):
    (log, printed) = both(["First. Sec", odd, "ond. Third"])
    assert log[:3] == [("chunk", "First. Sec"), ("put", (1, "First.")), ("chunk", odd)]
    if isinstance(odd, (Text, RightAdd)):
        assert printed.startswith(LABEL)
    elif isinstance(odd, RightAddText):
        # the reply became a str subclass, which _splitsen refuses
        assert printed.startswith("[LLM] Argument 'text' has incorrect type (expected str, got")
    else:
        with pytest.raises(TypeError) as expected:
            "x" + odd
        assert printed == f"[LLM] {expected.value}\n"
        assert len(log) == 3


def test_a_reply_that_stops_being_a_str():
    class Weird:
        def __radd__(self, other):
            return 42

    log, printed = both(["a. b", Weird(), "c"])
    assert printed.startswith("[LLM] Argument 'text' has incorrect type")


# ------------------------------------------------------------ failing streams

class Broken(Exception):
    pass


def failing(after):
    yield from after
    raise Broken("connection lost")


def test_a_stream_that_raises_midway():
    log, printed = both(lambda: failing(["One. Two", ", three"]))
    assert [e for e in log if e[0] == "put"] == [("put", (1, "One.")), ("put", (2, " Two,"))]
    assert printed == "[LLM] connection lost\n"


@pytest.mark.parametrize("stream", [5, None, object()], ids=lambda v: type(v).__name__)
def test_a_stream_that_is_not_iterable(stream):
    out = idle_output()
    assert printing(out._add_stream, stream) == (
        None, f"[LLM] '{type(stream).__name__}' object is not iterable\n")
    assert out.log == []


def test_the_handled_exception_carries_the_entry_of_its_line():
    class Inspecting(Exception):
        def __str__(self):
            return repr(entries(self))

    def stream():
        yield "a. "
        raise Inspecting()

    log, printed = run(M.Output._add_stream, stream)
    where = eval(printed[len("[LLM] "):])
    assert where[0] == ours("Output._add_stream", LOOP)


def test_a_failing_queue_is_reported_once():
    out = idle_output()
    out.output_queue = None
    assert printing(out._add_stream, ["a. b. c"])[1] == \
        "[LLM] 'NoneType' object has no attribute 'put'\n"


def test_an_exception_outside_exception_reaches_the_caller():
    def stream():
        yield "Spoken. Not"
        raise KeyboardInterrupt

    out = idle_output()
    with pytest.raises(KeyboardInterrupt) as info:
        out._add_stream(stream())
    assert entries(info.value)[-2] == ours("Output._add_stream", LOOP)
    assert out.log == [("put", (1, "Spoken."))]


def test_pieces_queued_before_a_failure_are_spoken(monkeypatch):
    """Through the real pipeline: a scripted model and a scripted sa."""
    events = Events()
    monkeypatch.setattr(M, "sa", ScriptedSA(events))
    out = M.Output(Model(events))
    out._add_stream(failing(["First, sec", "ond. third"]))
    out._add_stream(iter(["Next. ", 7, "never."]))
    out._add_stream(["Last one"])
    finishes(out._wait_all)
    assert spoken(events) == [b"First,", b" second.", b"Next.", b"Last one"]
