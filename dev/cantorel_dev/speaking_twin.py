"""The speaking side's two text rules, Output._splitsen and
Output._add_stream, as the module's Python twin (tests/twin) states them;
the tests compare the module with them and the benchmarks time them."""
import twin

_TWIN = twin.load()
SEP = _TWIN.Output._splitsen.__defaults__[0]
LABEL = "[LLM] Stream text\uff1a"
splitsen = _TWIN.Output._splitsen
add_stream = _TWIN.Output._add_stream


class Output:
    """The intake with the twin's rule, and no workers: whoever makes one sets
    its output_queue."""
    _splitsen = staticmethod(splitsen)
    _add_stream = add_stream
