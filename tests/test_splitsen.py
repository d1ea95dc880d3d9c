"""Output._splitsen, the cutting rule, against a plain Python statement of it.

The module scans the str's own storage (1, 2 or 4 bytes a character), so the
generated texts mix ASCII, Latin-1, BMP and astral characters in every
combination, with separator sets of every width, empty ones included."""
import sys

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import entry, ours
from cantorel_dev.speaking_twin import SEP, splitsen as reference
from cantorel_dev.twin import line_of

import cantorel.manage as M

split = M.Output._splitsen


WORKED = [
    ("Hello. How are", 0, (6, ["Hello."])),
    ("Hello. How are you? Fine", 6, (19, [" How are you?"])),
    ("Hello. How are you? Fine", 20, (20, [])),
    ("Wait... what?!", 0, (14, ["Wait.", ".", ".", " what?", "!"])),
    ("Pi is 3.14 today", 0, (8, ["Pi is 3."])),
    ("你好，世界。再见", 0, (6, ["你好，", "世界。"])),
    ("abc", 5, (5, [])),
    ("No separator here", 0, (0, [])),
]


@pytest.mark.parametrize("text, start, expected", WORKED)
def test_worked_examples(text, start, expected):
    assert split(text, start) == expected
    assert M.Output.__new__(M.Output)._splitsen(text, start) == expected
    assert split(text=text, start=start, sep=SEP) == expected


# One character of each storage width and role: separators of the default set
# (ASCII and full-width), characters that look like separators but are not
# (full-width ! and ?, semicolon, line break), Latin-1, BMP and astral text.
ALPHABET = list("ab .,!?;:\n\t") + ["\uff0c", "\u3002", "\uff01", "\uff1f", "é", "ÿ", "你",
                                      "\u0100", "\uffff", "😀", "\U0010ffff", "\x00"]
texts = st.text(alphabet=st.sampled_from(ALPHABET), max_size=300)
# Sets of up to eight distinct characters are compared a block at a time,
# larger ones a character at a time: both, with repeats.
seps = st.one_of(st.just(SEP), st.text(alphabet=st.sampled_from(ALPHABET), max_size=12),
                 st.text(max_size=40))


@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(text=texts, start=st.integers(0, 320), sep=seps)
def test_matches_the_plain_rule(text, start, sep):
    assert split(text, start, sep) == reference(text, start, sep)


@settings(max_examples=300, deadline=None)
@given(text=st.text(max_size=200), sep=st.text(min_size=9, max_size=60), start=st.integers(0, 50))
def test_many_wide_separators(text, sep, start):
    # More wide separators than fit inline: the sorted set is searched.
    text = "".join(c for pair in zip(text, sep * 4) for c in pair)
    assert split(text, start, sep) == reference(text, start, sep)


@pytest.mark.parametrize("unit, width", [("abc, def. ", 1), ("né, déjà. ", 1),
                                         ("你好，世界。", 2), ("ab😀, c. ", 4)])
def test_long_texts_of_each_width(unit, width):
    text = unit * 20_000
    assert {1: 255, 2: 0xFFFF, 4: 0x10FFFF}[width] >= max(map(ord, text))
    start = len(unit) * 3 + 1
    result = split(text, start)
    assert result == reference(text, start)
    assert "".join(result[1]) == text[start:result[0]]


def test_pieces_are_canonical_strs():
    # A slice of a wide str that holds only narrow characters is stored
    # narrowly; equality with the same text built directly proves it.
    text = "😀abc, déjà. 你好，"
    _, pieces = split(text, 0)
    assert pieces == ["😀abc,", " déjà.", " 你好，"]
    assert [sys.getsizeof(p) for p in pieces] == [sys.getsizeof(str(p.encode(), "utf-8"))
                                                 for p in pieces]


@pytest.mark.parametrize("text, start", [
    (text, start) for text in ["", "abc", "a.b", "😀."]
    for start in [0, 1, 2, 3, 4, 2 ** 31, 2 ** 63 - 1, 2 ** 63, 2 ** 64, 10 ** 100]
    if start >= len(text)] + [("a" * 2000, 10 ** 3 + 1)])  # no separator after start
def test_without_pieces_the_position_is_start_itself(text, start):
    # The very object passed in (10 ** 3 + 1 is not a cached small int).
    position, pieces = split(text, start)
    assert position is start and pieces == []


@pytest.mark.parametrize("text", ["", "abc", "a. b. c.", "你好，"])
@pytest.mark.parametrize("start", [-1, -2, -3, -10 ** 6, -2 ** 63, -2 ** 64, -10 ** 100])
def test_negative_start_is_refused(text, start):
    # Python's own rule would index from the end of the text (and yield empty
    # or wrapped pieces); the module refuses instead of reading anything.
    with pytest.raises(ValueError) as info:
        split(text, start)
    assert str(info.value) == f"_splitsen() start must not be negative, got {start}"
    assert entry(info.value) == ours("Output._splitsen", line_of("Output._splitsen", "for i in"))


@pytest.mark.parametrize("filler", ["a", "é", "你", "😀"])
# "ÿ" and "\uffff": the largest code unit of a 1- and a 2-byte text.
@pytest.mark.parametrize("mark", [",", "\uff0c", "😀", "ÿ", "\uffff"])
def test_a_separator_at_every_position(filler, mark):
    # Every lane of a 16-byte block, the blocks' edges and the tail after them.
    if mark == filler:
        filler = "b"
    seps = SEP + "😀" + mark
    for n in (1, 15, 16, 17, 40):
        for at in range(n):
            text = filler * at + mark + filler * (n - at - 1)
            for start in (0, at, at + 1):
                assert split(text, start, seps) == reference(text, start, seps)


@pytest.mark.parametrize("sep", ["", "x", "😀", "é", SEP * 3, "abcdefgh", "abcdefghi"])
def test_separator_sets(sep):
    text = "x😀é,xé😀." * 5
    assert split(text, 0, sep) == reference(text, 0, sep)

