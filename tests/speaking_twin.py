"""The speaking side's two text rules as plain Python statements: what
Output._splitsen and Output._add_stream would be if the class were written in
Python. The tests compare the module with them; the benchmarks time them as
plain Python and, built from this very file by Cython, as compiled Python.

It imports nothing, so that the benchmarks can load it (and Cython compile it)
without the test machinery."""

SEP = "\uff0c\u3002,.!?"
LABEL = "[LLM] Stream text\uff1a"


def splitsen(text, start, sep=SEP):
    """The cutting rule, for starts that are not negative (the module refuses those)."""
    text_len = len(text)
    if start >= text_len:
        return start, []
    sentences = []
    last_pos = start
    for i in range(start, text_len):
        if text[i] in sep:
            sentences.append(text[last_pos:i + 1])
            last_pos = i + 1
    return last_pos, sentences


def add_stream(self, llm_stream):
    """The intake; `self` supplies _splitsen and output_queue."""
    full_response = ""
    start_pos = 0
    sentence_index = 0
    try:
        for chunk_text in llm_stream:
            full_response += chunk_text
            start_pos, sentences = self._splitsen(full_response, start_pos)
            for sentence in sentences:
                sentence_index += 1
                self.output_queue.put((sentence_index, sentence))
        if start_pos < len(full_response):
            sentence_index += 1
            remaining_text = full_response[start_pos:].strip()
            if remaining_text:
                self.output_queue.put((sentence_index, remaining_text))
        print(f"{LABEL}{full_response}", flush=True)
    except Exception as e:
        print(f"[LLM] {e}", flush=True)


class Output:
    """The intake with its own rule, and no workers: whoever makes one sets
    its output_queue."""
    _splitsen = staticmethod(splitsen)
    _add_stream = add_stream
