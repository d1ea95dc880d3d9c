"""A private PulseAudio server with a virtual microphone and speaker.

The development machines and CI have no sound card, yet the voice loop has to
capture with PyAudio (PortAudio on ALSA) and play with simpleaudio (ALSA).
This starts a PulseAudio server of our own with two null sinks:

* ``mic``: whatever is played into it is what the microphone hears; its
  monitor is the server's default source;
* ``speaker``: the default sink, where the program's playback goes; recording
  its monitor shows what was played.

Processes reach it through ALSA's pulse plugin. The generated ALSA
configuration (``ALSA_CONFIG_PATH``) includes the system one and makes the
``default`` PCM and control pulse on this server, so nothing depends on the
caller's HOME (the tests point HOME at a temporary directory holding the model).

An idle null sink renders in blocks of about two seconds: a newly opened
capture stream can get its first frame up to 2 s late (measured: 1.9 s, then
0.44 s on later opens) and the monitor misses the first 10-20 ms of every new
stream (the sink rewinds over a part the monitor has already delivered). So
the sinks run without rewinds, and a low-latency reader on each monitor keeps
them rendering in 20 ms blocks whatever else connects; start() returns once
those readers get samples. A first PyAudio read then takes 25-40 ms and what
is played reaches the monitors sample for sample.

Use it as a context manager (``with VirtualAudio() as audio:``), or from the
shell (``python tools/virtual_audio_cli.py start|env|stop|run``).

The server and its helpers are stopped by pid on stop(), on leaving the
``with`` block (KeyboardInterrupt included) and at interpreter exit; unless
started detached (the ``start`` command), they also get SIGTERM from the
kernel if the process that started them dies without cleaning up.
"""
from __future__ import annotations

import atexit
import glob
import json
import os
import selectors
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import wave
from pathlib import Path

from cantorel_dev import virtual_echo
from cantorel_dev.speech_frames import wav_bytes

MIC = "mic"
SPEAKER = "speaker"
MIC_RATE = 16000      # what the capture loop asks for; no resampling on the way in
SPEAKER_RATE = 48000  # what playback uses
KEEPALIVE_LATENCY_MS = 20
# paplay's buffer into the mic: a player stalled by load must not run dry (a gap of silence).
PLAY_LATENCY_MS = 250
PACKAGES = "pulseaudio pulseaudio-utils libasound2-plugins"
INSTALL_HINT = f"run `bash tools/setup.sh` or `apt-get install {PACKAGES}`"
SYSTEM_ALSA_CONF = "/usr/share/alsa/alsa.conf"
STATE_FILE = "state.json"
# Where the shell's detached server (and the voice loop's --keep-devices) keeps its files.
DEFAULT_CLI_DIR = Path(tempfile.gettempdir()) / f"cantorel-virtual-audio-{os.getuid()}"


class VirtualAudioError(RuntimeError):
    """The virtual devices could not be set up or used; the message says why."""


def _pulse_plugin_present() -> bool:
    patterns = ["/usr/lib/*/alsa-lib/libasound_module_pcm_pulse.so",
                "/usr/lib/alsa-lib/libasound_module_pcm_pulse.so",
                "/usr/lib64/alsa-lib/libasound_module_pcm_pulse.so"]
    return any(glob.glob(p) for p in patterns)


def check_installed() -> None:
    """Raises VirtualAudioError naming what to install if a piece is missing."""
    for tool, package in (("pulseaudio", "pulseaudio"), ("pacat", "pulseaudio-utils"),
                          ("paplay", "pulseaudio-utils"), ("pactl", "pulseaudio-utils")):
        if shutil.which(tool) is None:
            raise VirtualAudioError(f"virtual audio needs `{tool}` (Debian {package}): {INSTALL_HINT}")
    if not _pulse_plugin_present():
        raise VirtualAudioError(f"virtual audio needs ALSA's pulse plugin (Debian libasound2-plugins): "
                                f"{INSTALL_HINT}")
    if not os.path.isfile(SYSTEM_ALSA_CONF):
        raise VirtualAudioError(f"no {SYSTEM_ALSA_CONF} (Debian libasound2-data): {INSTALL_HINT}")


def _tied(cmd: list[str]) -> list[str]:
    """`cmd` run so that the kernel sends it SIGTERM when the thread that
    started it exits (the thread, not the process: start it from one that
    outlives it): even a killed test run leaves no server behind. setpriv
    (util-linux, always on Debian) sets that and execs `cmd` under the same pid;
    doing it from Python between fork and exec is not safe in a process with
    threads."""
    setpriv = shutil.which("setpriv")
    return [setpriv, "--pdeathsig", "TERM", "--", *cmd] if setpriv else cmd


def _alive(pid: int, name: str) -> bool:
    """True while `pid` is a live process running `name` (not a zombie, not a reused pid)."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
        cmdline = Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0")
    except OSError:
        return False
    state = stat.rsplit(")", 1)[1].split()[0]
    return state != "Z" and bool(cmdline) and os.path.basename(cmdline[0].decode(errors="replace")) == name


class SpeakerRecording:
    """What reaches the speaker sink (or `source`) from start until stop(), as mono int16 at `rate`."""

    def __init__(self, audio: "VirtualAudio", start_timeout: float = 5.0, *,
                 source: str = f"{SPEAKER}.monitor", rate: int = SPEAKER_RATE):
        self.rate = rate
        self._chunks: list[bytes] = []
        self._first = threading.Event()
        self._proc = subprocess.Popen(
            _tied(["pacat", "-r", "--raw", "--format=s16le", f"--rate={rate}", "--channels=1",
                   f"--latency-msec={KEEPALIVE_LATENCY_MS}", "-d", source]),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
            env=audio.child_env())
        self._reader = threading.Thread(target=self._read, name="speaker-recording", daemon=True)
        self._reader.start()
        # Samples flow only once the stream is connected: anything played after
        # this returns is in the recording.
        if not self._first.wait(start_timeout):
            self._proc.kill()
            self._reader.join()
            err = self._proc.stderr.read().decode(errors="replace").strip()
            raise VirtualAudioError(f"recording the speaker produced nothing in {start_timeout} s: {err}")

    def _read(self):
        fd = self._proc.stdout.fileno()
        while True:
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            self._chunks.append(chunk)
            self._first.set()

    def stop(self):
        """Ends the recording; returns (samples: int16 ndarray, rate)."""
        import numpy as np
        if self._proc.poll() is None:
            self._proc.terminate()
        self._proc.wait(10)
        self._reader.join(10)
        self._proc.stdout.close()
        self._proc.stderr.close()
        raw = b"".join(self._chunks)
        return np.frombuffer(raw[:len(raw) // 2 * 2], dtype="<i2").copy(), self.rate

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self._proc.poll() is None:
            self.stop()


class VirtualAudio:
    """A private PulseAudio server with a `mic` sink (default source: its monitor)
    and a `speaker` sink (the default sink). See the module docstring."""

    def __init__(self, directory: str | os.PathLike | None = None, *, detach: bool = False,
                 start_timeout: float = 10.0, echo: bool = False, aec: bool = False):
        self._given_dir = Path(directory) if directory is not None else None
        self.echo, self.aec = echo, aec  # the room: virtual_echo.py
        self.detach = detach
        self.start_timeout = start_timeout
        self.directory: Path | None = None
        self._pids: dict[str, int] = {}
        self._procs: list[subprocess.Popen] = []
        self._saved_environ: dict[str, str | None] | None = None
        self._plays = 0
        self._owner_pid: int | None = None

    # ------------------------------------------------------------ paths and environment

    @property
    def socket(self) -> Path:
        return self._require_dir() / "run" / "native"

    def _require_dir(self) -> Path:
        if self.directory is None:
            raise VirtualAudioError("virtual audio is not started")
        return self.directory

    @property
    def env(self) -> dict[str, str]:
        """What a process needs to use the virtual devices through PulseAudio or ALSA."""
        d = self._require_dir()
        return {
            "PULSE_SERVER": f"unix:{self.socket}",
            # Our ALSA configuration: the system one with default = pulse on this server.
            "ALSA_CONFIG_PATH": str(d / "alsa.conf"),
            # Our client configuration: never autospawn a server, whatever HOME says.
            "PULSE_CLIENTCONFIG": str(d / "client.conf"),
            # PortAudio also probes JACK at start-up; do not let that launch a jackd.
            "JACK_NO_START_SERVER": "1",
        }

    def child_env(self, base: dict[str, str] | None = None) -> dict[str, str]:
        """`base` (default os.environ) with `env` applied, for subprocess calls."""
        return {**(os.environ if base is None else base), **self.env}

    def apply_to_current_process(self) -> None:
        """Puts `env` into os.environ. Call it before PortAudio or ALSA are first used
        in this process (before pyaudio.PyAudio() or simpleaudio's first play):
        ALSA reads its configuration once. stop() restores the previous values."""
        if self._saved_environ is None:
            self._saved_environ = {k: os.environ.get(k) for k in self.env}
        os.environ.update(self.env)

    def _restore_environ(self):
        if self._saved_environ is None:
            return
        for key, value in self._saved_environ.items():
            if value is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = value
        self._saved_environ = None

    # ------------------------------------------------------------ start and stop

    def _write_config(self, d: Path) -> None:
        (d / "home").mkdir(exist_ok=True)
        (d / "run").mkdir(mode=0o700, exist_ok=True)
        sock = d / "run" / "native"
        # auth-anonymous: clients run with other HOMEs, so they cannot share a cookie.
        # norewinds: when a stream starts, the sink would otherwise rewind over
        # what it already rendered; the monitor has delivered that part, so the
        # first 10-20 ms of every new stream were missing from it. Without
        # rewinds a new stream also no longer waits for an idle block to end.
        (d / "server.pa").write_text(
            f"load-module module-native-protocol-unix socket={sock} auth-anonymous=1\n"
            f"load-module module-null-sink sink_name={MIC} rate={MIC_RATE} channels=1 norewinds=1 "
            f"sink_properties=device.description=Virtual_microphone\n"
            f"load-module module-null-sink sink_name={SPEAKER} rate={SPEAKER_RATE} channels=1 "
            f"norewinds=1 sink_properties=device.description=Virtual_speaker\n"
            f"set-default-sink {SPEAKER}\n"
            f"set-default-source {MIC}.monitor\n"
            + virtual_echo.server_lines(MIC, SPEAKER, echo=self.echo, aec=self.aec))
        # `server` in the PCM itself, so a process that got only ALSA_CONFIG_PATH
        # still reaches this server and not some other one.
        (d / "alsa.conf").write_text(
            f"<{SYSTEM_ALSA_CONF}>\n"
            f'pcm.!default {{\n    type pulse\n    server "unix:{sock}"\n}}\n'
            f'ctl.!default {{\n    type pulse\n    server "unix:{sock}"\n}}\n')
        (d / "client.conf").write_text(f"autospawn = no\ndefault-server = unix:{sock}\n")

    def _spawn(self, name: str, cmd: list[str], **kwargs) -> subprocess.Popen:
        if not self.detach:
            cmd = _tied(cmd)
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, start_new_session=True, **kwargs)
        self._procs.append(proc)
        self._pids[name] = proc.pid
        return proc

    def start(self) -> "VirtualAudio":
        if self.directory is not None:
            return self
        check_installed()
        if self.aec and not virtual_echo.canceller_present():
            raise VirtualAudioError(virtual_echo.AEC_HINT)
        if self._given_dir is not None:
            self._given_dir.mkdir(parents=True, exist_ok=True)
            self.directory = self._given_dir
        else:
            self.directory = Path(tempfile.mkdtemp(prefix="cantorel-audio-"))
        self._owner_pid = os.getpid()
        if not self.detach:
            atexit.register(self.stop)
        try:
            self._start_server()
            self._keep_sinks_awake()
            if self.echo:
                virtual_echo.attenuate_echo(self.child_env())
            self._save_state()
        except BaseException:
            self.stop()
            raise
        return self

    def _start_server(self) -> None:
        d = self._require_dir()
        self._write_config(d)
        log = d / "pulseaudio.log"
        env = {k: v for k, v in os.environ.items() if not k.startswith("PULSE_")}
        env.update(HOME=str(d / "home"), XDG_RUNTIME_DIR=str(d / "run"),
                   XDG_CONFIG_HOME=str(d / "home" / ".config"))
        # -n: none of the system's default modules (no hardware probing, no
        # suspend-on-idle); never exit when idle or when a client asks; no pid
        # file, we stop it by the pid we hold. Running as root outside --system
        # only draws a warning in the log.
        cmd = ["pulseaudio", "-n", "-F", str(d / "server.pa"), "--daemonize=no",
               "--exit-idle-time=-1", "--disallow-exit", "--use-pid-file=no",
               "--realtime=no", "--high-priority=no", f"--log-target=file:{log}"]
        server = self._spawn("pulseaudio", cmd, env=env, cwd=str(d),
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + self.start_timeout
        while True:
            if server.poll() is not None:
                raise VirtualAudioError(f"pulseaudio exited with code {server.returncode} at start-up: "
                                        f"{self._log_tail(log)}")
            if self.socket.exists():
                info = subprocess.run(["pactl", "info"], env=self.child_env(), capture_output=True,
                                      text=True, timeout=10, stdin=subprocess.DEVNULL)
                if info.returncode == 0 and f"Default Sink: {SPEAKER}" in info.stdout:
                    return
            if time.monotonic() > deadline:
                raise VirtualAudioError(f"pulseaudio did not answer within {self.start_timeout} s: "
                                        f"{self._log_tail(log)}")
            time.sleep(0.05)

    @staticmethod
    def _log_tail(log: Path) -> str:
        try:
            lines = [ln for ln in log.read_text(errors="replace").splitlines()
                     if ln.startswith("E:")] or log.read_text(errors="replace").splitlines()
        except OSError:
            return "no log"
        return lines[-1] if lines else "empty log"

    def _monitor_reader(self, sink: str, rate: int) -> list[str]:
        return ["pacat", "-r", "--raw", "--format=s16le", f"--rate={rate}", "--channels=1",
                f"--latency-msec={KEEPALIVE_LATENCY_MS}", "-d", f"{sink}.monitor"]

    def _keep_sinks_awake(self) -> None:
        env = self.child_env()
        sinks = ((MIC, MIC_RATE), (SPEAKER, SPEAKER_RATE))
        for sink, rate in sinks:
            self._spawn(f"keepalive-{sink}", self._monitor_reader(sink, rate), env=env,
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # The sinks switch to the readers' latency once the block they are
        # rendering ends (with rewinds on, up to ~2 s; without, at once). A
        # probe reader on each monitor gets its first bytes exactly then.
        probes = [subprocess.Popen(self._monitor_reader(sink, rate), env=env, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
                  for sink, rate in sinks]
        try:
            sel = selectors.DefaultSelector()
            for p in probes:
                sel.register(p.stdout, selectors.EVENT_READ, p)
            waiting = set(probes)
            deadline = time.monotonic() + 6.0
            while waiting and time.monotonic() < deadline:
                for key, _ in sel.select(timeout=deadline - time.monotonic()):
                    if os.read(key.fileobj.fileno(), 65536) and key.data in waiting:
                        waiting.discard(key.data)
                        sel.unregister(key.fileobj)
            sel.close()
            if waiting:
                raise VirtualAudioError("the virtual sinks produced no samples within 6 s: "
                                        f"{self._log_tail(self._require_dir() / 'pulseaudio.log')}")
        finally:
            for p in probes:
                p.kill()
                p.wait()
                p.stdout.close()
        for name, pid in self._pids.items():
            if name.startswith("keepalive") and not _alive(pid, "pacat"):
                raise VirtualAudioError(f"the reader that keeps sink {name} awake exited")

    def _save_state(self) -> None:
        d = self._require_dir()
        (d / STATE_FILE).write_text(json.dumps({"pids": self._pids, "env": self.env}, indent=1))

    @classmethod
    def attach(cls, directory: str | os.PathLike) -> "VirtualAudio":
        """The instance started (detached) in `directory`, e.g. by the `start` command."""
        d = Path(directory)
        try:
            state = json.loads((d / STATE_FILE).read_text())
        except (OSError, ValueError) as e:
            raise VirtualAudioError(f"no virtual audio started in {d}: {e}") from None
        audio = cls(d, detach=True)
        audio.directory = d
        audio._pids = {k: int(v) for k, v in state["pids"].items()}
        return audio

    def running(self) -> bool:
        pid = self._pids.get("pulseaudio")
        return self.directory is not None and pid is not None and _alive(pid, "pulseaudio")

    def stop(self) -> None:
        """Stops the helpers and the server by pid, removes the directory if we made
        it, and restores os.environ if apply_to_current_process() changed it. Safe to
        call again."""
        if self._owner_pid not in (None, os.getpid()):
            # A forked copy of the owner (its atexit runs too): the server is the
            # parent's, and these Popen objects cannot wait for it.
            return
        self._restore_environ()
        if not self.detach:
            atexit.unregister(self.stop)
        # Helpers first, so the server never sees a client in mid-stream die with it.
        names = sorted(self._pids, key=lambda n: n == "pulseaudio")
        for name in names:
            self._kill(self._pids[name], "pulseaudio" if name == "pulseaudio" else "pacat")
        for proc in self._procs:
            try:
                proc.wait(1)  # reap our own children
            except subprocess.TimeoutExpired:
                pass
        self._procs.clear()
        self._pids.clear()
        if self.directory is not None:
            if self._given_dir is None:
                shutil.rmtree(self.directory, ignore_errors=True)
            else:
                (self.directory / STATE_FILE).unlink(missing_ok=True)
        self.directory = None

    def _kill(self, pid: int, name: str) -> None:
        own = next((p for p in self._procs if p.pid == pid), None)
        if own is not None:
            if own.poll() is not None:
                return
            own.terminate()
            try:
                own.wait(5)
            except subprocess.TimeoutExpired:
                own.kill()
                own.wait(5)
            return
        # Not our child (attached from a state file): check the pid still runs
        # what we started before signalling it.
        for sig, wait in ((signal.SIGTERM, 5.0), (signal.SIGKILL, 5.0)):
            if not _alive(pid, name):
                return
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                return
            deadline = time.monotonic() + wait
            while time.monotonic() < deadline and _alive(pid, name):
                time.sleep(0.02)

    def __enter__(self) -> "VirtualAudio":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    # ------------------------------------------------------------ using the devices

    def play_into_microphone(self, audio, rate: int | None = None, *, wait: bool = True,
                             timeout: float | None = None) -> subprocess.Popen:
        """Plays `audio` into the microphone sink in real time: a WAV file path, or
        a mono int16 array with its `rate`. With wait=True (the default) returns
        once it has been played, raising VirtualAudioError if it could not be;
        with wait=False returns the running paplay at once."""
        d = self._require_dir()
        if isinstance(audio, (str, os.PathLike)):
            path = Path(audio)
            if rate is not None:
                raise ValueError("rate is taken from the WAV file; pass it only with samples")
            if not path.is_file():
                raise FileNotFoundError(path)
            with wave.open(str(path)) as w:
                seconds = w.getnframes() / w.getframerate()
        else:
            import numpy as np
            samples = np.asarray(audio)
            if samples.dtype != np.int16 or samples.ndim != 1:
                raise ValueError(f"expected a 1-D int16 array, got {samples.dtype} {samples.shape}")
            if not rate or rate <= 0:
                raise ValueError("rate (samples per second) is needed with samples")
            self._plays += 1
            path = d / f"play-{self._plays}.wav"
            path.write_bytes(wav_bytes(samples, int(rate)))
            seconds = len(samples) / rate
        # Not tied (_tied): the kernel's signal follows the thread that started
        # it, and a player started from a short-lived thread (wait=False) was
        # killed the moment that thread ended, sometimes before its first
        # sample. It ends by itself with its file, or with the server.
        cmd = ["paplay", f"--latency-msec={PLAY_LATENCY_MS}", "-d", MIC, str(path)]
        proc = subprocess.Popen(cmd, env=self.child_env(),
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)
        if wait:
            try:
                _, err = proc.communicate(timeout=timeout if timeout is not None else seconds + 10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.communicate()
                raise VirtualAudioError(f"paplay of {path} did not finish in time") from None
            if proc.returncode != 0:
                raise VirtualAudioError(f"paplay of {path} failed ({proc.returncode}): "
                                        f"{err.decode(errors='replace').strip()}")
        return proc

    def record_speaker(self) -> SpeakerRecording:
        """Starts recording what is played to the speaker; returns once samples
        flow. `.stop()` on the result gives (int16 samples, rate)."""
        self._require_dir()
        return SpeakerRecording(self)

