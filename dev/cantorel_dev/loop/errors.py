"""The error the user can fix, and quoting another program's words in it."""
from __future__ import annotations


class LoopError(Exception):
    """A problem the user can fix; the message says how. Printed as one line."""


def one_line(text: str, limit: int = 300) -> str:
    """`text` with its whitespace runs collapsed and cut to `limit` characters,
    for quoting what another program said inside a one-line message."""
    flat = " ".join(str(text).split())
    return flat if len(flat) <= limit else flat[:limit - 3] + "..."
