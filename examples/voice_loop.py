"""One spoken exchange with cantorel.manage: listen, recognise, reply, speak.

By default nothing needs sound hardware: a private PulseAudio server provides a
virtual microphone and speaker, a human recording is played into the
microphone, `Input._recognize()` captures it (the speech-probability model
decides when the speaker has finished) and Whisper turns it into text; a
language model (a stand-in, or any OpenAI-compatible endpoint with --llm-url)
streams a reply of several sentences into `Output._add_stream()`, which speaks
each sentence through a Piper voice and simpleaudio while the rest is still
arriving; `Output._wait_all()` returns after the last sound, and what the
speaker played is saved as a WAV file.

    python examples/voice_loop.py                    # one exchange on virtual devices
    python examples/voice_loop.py --wav my.wav       # your own utterance
    python examples/voice_loop.py --plot vad.png     # draw what the detector saw
    python examples/voice_loop.py --asr pocketsphinx --tts espeak   # nothing downloaded
    python examples/voice_loop.py --llm-url http://127.0.0.1:8080/v1  # a real language model
    python examples/voice_loop.py --real-devices     # talk to it; Ctrl-C ends

The parts live in the development package (dev/cantorel_dev/loop/), one job
each; bash tools/setup.sh installs it.
"""
import sys

from cantorel_dev.loop.cli import main

if __name__ == "__main__":
    sys.exit(main())
