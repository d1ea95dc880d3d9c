"""The smallest host program: listen, hand the words to a language model, speak
its reply while it is still being generated. Ctrl-C ends it.

    python examples/minimal_host.py

It uses the default microphone and speaker; run it inside the virtual devices
with `python tools/virtual_audio_cli.py run -- python examples/minimal_host.py`.
The recogniser and the voice are the demo's adapters (cantorel_dev.hosts); a host
brings its own objects with the same two methods: generate(samples) -> text
and ort_predict(text) -> 48 kHz mono 16-bit PCM bytes.
"""
from __future__ import annotations

import time
from typing import Iterator

from cantorel.manage import Input, Output
from cantorel_dev.hosts.espeak_tts import EspeakTTS
from cantorel_dev.hosts.pocketsphinx_asr import PocketSphinxASR


def language_model(prompt: str) -> Iterator[str]:
    """Stands in for a real model's streaming call: yields the reply a few characters at a time."""
    reply = f"You said {prompt}. Tell me more, and I will listen."
    for i in range(0, len(reply), 4):
        time.sleep(0.05)
        yield reply[i:i + 4]


def main() -> None:
    ears = Input(PocketSphinxASR())   # opens the microphone and loads the speech detector
    mouth = Output(EspeakTTS())       # starts the synthesis and playback threads
    while True:
        text = ears._recognize()      # blocks until someone has spoken and paused for 1 s
        if not text:
            continue
        mouth._add_stream(language_model(text))  # speaks each sentence as soon as it is complete
        mouth._wait_all()             # returns after the last sound


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        pass
