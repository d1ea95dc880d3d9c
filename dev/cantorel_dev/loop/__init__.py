"""The voice loop's parts, one job each; examples/voice_loop.py is the command.

    common      errors the user can fix, progress lines, shared constants
    utterance   the recording played into the microphone
    detection   what the speech detector sees in captured samples
    adapters    which recogniser and voice the host brings, timed
    language    the language model: a stand-in, or a streaming HTTP endpoint
    exchange    one exchange: listen, reply, speak, and when each part happened
    report      the summary and its timings; saving what the speaker played
    plot        the drawing of a capture
    devices     the virtual sound devices, device noise, deadlines, Ctrl-C
    cli         the command line
"""
import sys
from pathlib import Path

_EXAMPLES = Path(__file__).resolve().parent.parent
# The host adapters (examples/hosts) and the tools the loop shares with the
# other demos (tools/: the sound devices, WAV decoding, the capture's rule).
for _p in (_EXAMPLES, _EXAMPLES.parent / "tools"):
    if str(_p) not in sys.path:
        sys.path.insert(0, str(_p))
