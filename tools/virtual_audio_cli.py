"""The virtual devices (cantorel_dev.virtual_audio) from the shell::

    python tools/virtual_audio_cli.py start          # prints `export ...` lines
    eval "$(python tools/virtual_audio_cli.py env)"  # in another shell
    python tools/virtual_audio_cli.py stop
    python tools/virtual_audio_cli.py run -- CMD ARGS...   # start, run CMD, stop

`start` leaves the server running detached, its files in --dir; `run` ties
it to the command and stops it when the command ends."""
from __future__ import annotations

import argparse
import shlex
import signal
import subprocess
import sys
from pathlib import Path

from cantorel_dev.virtual_audio import DEFAULT_CLI_DIR, STATE_FILE, VirtualAudio, VirtualAudioError


def _exports(env: dict[str, str]) -> str:
    return "".join(f"export {k}={shlex.quote(v)}\n" for k, v in env.items())


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="virtual_audio_cli.py",
        description="Private PulseAudio server with a virtual microphone and speaker.")
    parser.add_argument("--dir", default=str(DEFAULT_CLI_DIR),
                        help="where a detached server keeps its files (default %(default)s)")
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("start", help="start detached; print the environment as export lines")
    sub.add_parser("stop", help="stop the server started with `start`")
    sub.add_parser("env", help="print the environment of the running server as export lines")
    run = sub.add_parser("run", help="start, run a command with the environment, stop")
    run.add_argument("cmd", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    try:
        if args.command == "start":
            if (Path(args.dir) / STATE_FILE).exists():
                old = VirtualAudio.attach(args.dir)
                if old.running():
                    sys.stdout.write(_exports(old.env))
                    print(f"virtual audio already running in {args.dir}", file=sys.stderr)
                    return 0
                old.stop()
            audio = VirtualAudio(args.dir, detach=True).start()
            sys.stdout.write(_exports(audio.env))
            print(f"virtual audio started in {args.dir} (pulseaudio pid {audio._pids['pulseaudio']})",
                  file=sys.stderr)
        elif args.command == "stop":
            if not (Path(args.dir) / STATE_FILE).exists():
                print(f"no virtual audio running in {args.dir}", file=sys.stderr)
                return 0
            VirtualAudio.attach(args.dir).stop()
        elif args.command == "env":
            audio = VirtualAudio.attach(args.dir)
            if not audio.running():
                raise VirtualAudioError(f"the server started in {args.dir} is not running")
            sys.stdout.write(_exports(audio.env))
        else:
            cmd = args.cmd[1:] if args.cmd[:1] == ["--"] else args.cmd
            if not cmd:
                parser.error("run: give a command after --")
            # SIGTERM as an exit, so the with-block still stops the server and
            # removes its directory.
            signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
            with VirtualAudio() as audio:
                return subprocess.run(cmd, env=audio.child_env()).returncode
    except VirtualAudioError as e:
        print(f"virtual_audio: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
