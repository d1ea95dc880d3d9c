"""The sound devices: the virtual microphone and speaker, and PortAudio's
probing noise while the real ones are opened."""
from __future__ import annotations

import os
import sys
import tempfile
from contextlib import contextmanager

from .errors import LoopError
from .progress import Step


class ProbeNoise:
    text = ""


@contextmanager
def device_probe_noise_hidden():
    """PortAudio probes every ALSA card and JACK when PyAudio starts, and each probe
    that finds nothing complains on stderr (dozens of lines on a machine without a
    sound card). Those lines go to a temporary file; if opening the devices fails
    they are kept in the yielded object's `text` for the caller to show when they
    can help."""
    noise = ProbeNoise()
    sys.stderr.flush()
    saved = os.dup(2)
    ok = False
    with tempfile.TemporaryFile() as tmp:
        os.dup2(tmp.fileno(), 2)
        try:
            yield noise
            ok = True
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            if not ok:
                tmp.seek(0)
                noise.text = tmp.read().decode(errors="replace")


def start_devices(va, keep: bool, **room):
    """The private PulseAudio server: a fresh one, or with --keep-devices the one
    left running by an earlier run (started in the directory the CLI uses)."""
    try:
        with Step("starting the virtual microphone and speaker (a private PulseAudio server)"):
            if keep:
                state = va.DEFAULT_CLI_DIR / va.STATE_FILE
                audio = va.VirtualAudio.attach(va.DEFAULT_CLI_DIR) if state.exists() else None
                if audio is None or not audio.running():
                    if audio is not None:
                        audio.stop()
                    audio = va.VirtualAudio(va.DEFAULT_CLI_DIR, detach=True, **room).start()
                return audio
            return va.VirtualAudio(**room).start()
    except va.VirtualAudioError as e:
        raise LoopError(f"cannot start the virtual sound devices: {e}; "
                        "or use --real-devices with a real microphone and speaker") from None
