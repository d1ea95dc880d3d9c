"""What the examples, tools, benchmarks and tests share; never shipped.

    speech_frames   recordings: WAV decoding, 16 kHz resampling, the test
                    recordings, and the capture's rule and constants
    virtual_audio   the private PulseAudio server with a virtual microphone
                    and speaker (its command: tools/virtual_audio_cli.py)
    virtual_echo    the echo path and echo canceller of the virtual devices
    wheel_files     model files taken out of PyPI wheels (tools/fetch_*.py)
    hosts           the demo's recognisers and voices
    loop            the voice loop's parts (its command: examples/voice_loop.py)
    twin            the module as plain Python, the tests' oracle
    speaking_twin   the twin's two text rules of the speaking side

tools/setup.sh installs it into the venv (editable, from dev/)."""
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent  # the checkout
