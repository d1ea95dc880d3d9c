"""The speaking side's two text rules, Output._splitsen and
Output._add_stream, as the module's Python twin (cantorel_dev.twin) states them;
the tests compare the module with them and the benchmarks time them."""
import re

from cantorel_dev import twin

_TWIN = twin.load()
SEP = _TWIN.Output._splitsen.__defaults__[0]
# What the intake prints before the whole reply, read off the twin's statement.
_PRINT = twin.SOURCE.splitlines()[twin.line_of("Output._add_stream", 'print(f"') - 1]
LABEL = re.search(r'print\(f"(.*)\{full_response\}', _PRINT).group(1)
splitsen = _TWIN.Output._splitsen
add_stream = _TWIN.Output._add_stream


class Output:
    """The intake with the twin's rule, and no workers: whoever makes one sets
    its output_queue."""
    _splitsen = staticmethod(splitsen)
    _add_stream = add_stream
