"""The room between the virtual speaker and microphone: an echo path, and
PulseAudio's echo canceller (WebRTC) in front of the capture.

A laptop's microphone hears its own loudspeaker, quieter and a little late.
With `echo` the private server loops what reaches the `speaker` sink into the
`mic` sink, ECHO_DB quieter and about ECHO_MS later (module-loopback; its
latency is a target, kept by adaptive resampling). With `aec` programs play
into `speaker_aec` and capture from `mic_aec` (module-echo-cancel between the
two sinks, made the defaults): the canceller hears what goes to the speaker
and takes it out of what the microphone picked up. The same module on a
user's own server is what `--aec --real-devices` sets up (`own_server_command`).
"""
from __future__ import annotations

import glob
import subprocess

ECHO_DB = -10
ECHO_MS = 40
AEC_SOURCE = "mic_aec"
AEC_SINK = "speaker_aec"
# Gain control off: it would raise a quiet person and the echo alike, and the
# capture's rule should see the level the microphone gives. The extended
# filter models 128 ms of echo path, not 48: with it the residue of the reply
# that the speech model scores as speech was about half (bench_barge_in.py,
# docs/barge-in.md).
AEC_ARGS = "analog_gain_control=0 digital_gain_control=0 extended_filter=1"
AEC_HINT = ("the echo canceller needs PulseAudio's module-echo-cancel with WebRTC "
            "(Debian pulseaudio and libwebrtc-audio-processing1): apt-get install pulseaudio")


class EchoError(RuntimeError):
    """The echo canceller cannot be loaded; the message says what to install."""


def canceller_present() -> bool:
    return bool(glob.glob("/usr/lib/pulse-*/modules/module-echo-cancel.so")
                + glob.glob("/usr/lib/*/pulse-*/modules/module-echo-cancel.so"))


def check_canceller() -> None:
    if not canceller_present():
        raise EchoError(AEC_HINT)


def server_lines(mic: str, speaker: str, *, echo: bool, aec: bool) -> str:
    """What the private server's start-up script adds for the echo path and the canceller."""
    lines = []
    if echo:
        lines.append(f"load-module module-loopback source={speaker}.monitor sink={mic} "
                     f"latency_msec={ECHO_MS} adjust_time=0 source_dont_move=1 sink_dont_move=1 "
                     f"sink_input_properties=media.name=echo")
    if aec:
        lines += [f"load-module module-echo-cancel aec_method=webrtc aec_args=\"{AEC_ARGS}\" "
                  f"source_master={mic}.monitor sink_master={speaker} "
                  f"source_name={AEC_SOURCE} sink_name={AEC_SINK} use_volume_sharing=0",
                  f"set-default-source {AEC_SOURCE}",
                  f"set-default-sink {AEC_SINK}"]
    return "".join(line + "\n" for line in lines)


def attenuate_echo(env: dict[str, str]) -> None:
    """Sets the echo loop's level (module-loopback takes no volume of its own)."""
    listing = subprocess.run(["pactl", "list", "sink-inputs"], env=env, capture_output=True,
                             text=True, timeout=10, stdin=subprocess.DEVNULL).stdout
    for block in listing.split("\n\n"):
        if 'media.name = "echo"' in block:
            index = block.split("#", 1)[1].split()[0]
            subprocess.run(["pactl", "set-sink-input-volume", index, f"{ECHO_DB}dB"], env=env,
                           check=True, timeout=10, stdin=subprocess.DEVNULL)
            return
    raise EchoError("the echo loop (module-loopback) is not running on the virtual server")


def own_server_command() -> str:
    """The one command that puts the canceller in front of the user's own
    default microphone and speaker (PulseAudio, or PipeWire's pulse server)."""
    return (f"pactl load-module module-echo-cancel aec_method=webrtc aec_args='\"{AEC_ARGS}\"' "
            f"source_name={AEC_SOURCE} sink_name={AEC_SINK} && "
            f"pactl set-default-source {AEC_SOURCE} && pactl set-default-sink {AEC_SINK}")


def load_on_own_server() -> str:
    """Loads the canceller on the user's server; returns what was done, or
    raises EchoError with the command to run by hand."""
    try:
        listing = subprocess.run(["pactl", "list", "short", "sources"], capture_output=True,
                                 text=True, timeout=10, stdin=subprocess.DEVNULL)
    except (OSError, subprocess.TimeoutExpired) as e:
        raise EchoError(f"cannot reach your sound server with pactl ({e}); run: {own_server_command()}") from None
    if listing.returncode != 0:
        raise EchoError(f"pactl cannot reach your sound server ({listing.stderr.strip()}); "
                        f"run: {own_server_command()}")
    if AEC_SOURCE in listing.stdout:
        return f"the echo canceller ({AEC_SOURCE}) is already loaded"
    done = subprocess.run(["sh", "-c", own_server_command()], capture_output=True, text=True,
                          timeout=20, stdin=subprocess.DEVNULL)
    if done.returncode != 0:
        raise EchoError(f"loading the echo canceller failed ({done.stderr.strip()}); {AEC_HINT}; "
                        f"or run: {own_server_command()}")
    return (f"loaded the echo canceller: default microphone {AEC_SOURCE}, default speaker {AEC_SINK} "
            f"(pactl unload-module module-echo-cancel removes it)")
