"""Shared fixtures and helpers: the real model in a temporary HOME, fresh
interpreters, traceback entries, leak checks, tiny ONNX models, fake
sessions, audio."""
import collections
import concurrent.futures
import contextlib
import gc
import importlib.machinery
import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
import time
import traceback
import tracemalloc
import wave
import weakref
from pathlib import Path

import numpy as np
import pytest
from hypothesis import settings

from cantorel_dev.speech_frames import ALSA, FRAME, wav_16k  # noqa: F401  (the tests' recordings)

pytest_plugins = ["virtual_audio_fixture", "run_groups"]

# Generated cases are drawn from a fixed seed so that every run, CI's
# included, tries the same examples and a failure repeats;
# CANTOREL_HYPOTHESIS=explore draws new ones, ten times as many.
settings.register_profile("fixed", derandomize=True, database=None, deadline=None,
                          print_blob=True)
settings.register_profile("explore", deadline=None, print_blob=True)
HYPOTHESIS_PROFILE = os.environ.get("CANTOREL_HYPOTHESIS", "fixed")
settings.load_profile(HYPOTHESIS_PROFILE)


def examples(n):
    """A test's example count under the active profile."""
    return n * 10 if HYPOTHESIS_PROFILE == "explore" else n

ROOT = Path(__file__).resolve().parent.parent
MODEL_CACHE = ROOT / "build" / "models" / "silero_vad.onnx"


@pytest.fixture(scope="session")
def model_file(tmp_path_factory) -> Path:
    if MODEL_CACHE.is_file():
        return MODEL_CACHE
    dest = tmp_path_factory.mktemp("model") / "voicevd.pt"
    subprocess.run([sys.executable, str(ROOT / "tools" / "fetch_model.py"), "--dest", str(dest)],
                   check=True)
    return dest


@pytest.fixture(scope="session")
def model_home(tmp_path_factory, model_file) -> Path:
    """A home directory whose cache holds the model; never the user's own."""
    home = tmp_path_factory.mktemp("home")
    target = home / ".cache" / "sonvale" / "voicevd.pt"
    target.parent.mkdir(parents=True)
    shutil.copyfile(model_file, target)
    return home


@pytest.fixture
def vad_env(monkeypatch, model_home) -> Path:
    monkeypatch.setenv("HOME", str(model_home))
    return model_home


@pytest.fixture
def manage():
    import cantorel.manage
    return cantorel.manage


# ------------------------------------------------------------ native test builds

SRC = ROOT / "src" / "manage"


def public_api_build():
    """Whether the installed module is built on the documented C API alone:
    only the private path links to the interpreter's runtime state."""
    import cantorel.manage
    return b"_PyRuntime" not in Path(cantorel.manage.__file__).read_bytes()


def runtime_sources():
    """The runtime's sources (C++, and on the private path the C unit that
    reads the interpreter's internal headers), built as the installed module is."""
    c_units = [] if public_api_build() else sorted((SRC / "runtime").glob("*.c"))
    return sorted((SRC / "runtime").glob("*.cpp")) + c_units


def module_sources(*, with_module_body=False):
    """The runtime's and the class units' sources; module.cpp (PyInit_manage)
    only when asked for."""
    units = [p for p in sorted(SRC.glob("*.cpp")) if with_module_body or p.name != "module.cpp"]
    return runtime_sources() + units


def compile_native(sources, output, *, shared=False, embed=False, timeout=300):
    """Compiles test code against the module's sources with g++; skips when
    no compiler is there. With the sanitizer runtimes preloaded (the ASan
    run) the test code is instrumented too."""
    compiler, c_compiler = shutil.which("g++"), shutil.which("gcc")
    if compiler is None or c_compiler is None:
        pytest.skip("g++ and gcc are needed")
    flags = ["-O1", "-g", "-Wall", "-Wextra", "-fvisibility=hidden", "-I", str(SRC),
             "-I", sysconfig.get_paths()["include"], "-I", np.get_include()]
    if public_api_build():
        flags += ["-DCANTOREL_PUBLIC_API=1"]
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        flags += ["-fsanitize=address,undefined", "-fno-omit-frame-pointer"]
    if shared:
        flags += ["-shared", "-fPIC"]
    objects = []
    for c in [p for p in sources if str(p).endswith(".c")]:
        obj = Path(str(output) + f".{Path(c).stem}.o")
        build = subprocess.run([c_compiler, *[f for f in flags if f != "-shared"], "-c", str(c),
                                "-o", str(obj)], capture_output=True, text=True, timeout=timeout)
        assert build.returncode == 0, build.stderr[-5000:]
        objects.append(obj)
    sources = [p for p in sources if not str(p).endswith(".c")] + objects
    command = [compiler, "-std=c++17", *flags, *map(str, sources), "-o", str(output)]
    if embed:
        libdir = sysconfig.get_config_var("LIBDIR")
        library = sysconfig.get_config_var("LDLIBRARY") or ""
        if not sysconfig.get_config_var("Py_ENABLE_SHARED") or not (Path(libdir) / library).is_file():
            pytest.skip("the interpreter has no shared libpython to embed")
        command += [f"-L{libdir}", f"-lpython{sysconfig.get_config_var('VERSION')}",
                    f"-Wl,-rpath,{libdir}"]
    build = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    assert build.returncode == 0, build.stderr[-5000:]
    return output


@pytest.fixture(scope="session")
def probe(tmp_path_factory):
    """`_cantorel_probe` (tests/native/probe_module.cpp): the module's classes
    built from the same method rows, every body replaced by a recorder of
    the bound values. `probe.fail` set to an exception class makes every
    body raise a fresh one at the line after its def. `probe.Handlers` holds
    bodies written with the runtime's handlers (handler_bodies.cpp)."""
    name = "_cantorel_probe"
    path = tmp_path_factory.mktemp("probe") / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    native = ROOT / "tests" / "native"
    compile_native([native / "probe_module.cpp", native / "handler_bodies.cpp", *module_sources()],
                   path, shared=True)
    loader = importlib.machinery.ExtensionFileLoader(name, str(path))
    spec = importlib.util.spec_from_file_location(name, path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    sys.modules[name] = module
    return module


# ------------------------------------------------------------ fresh interpreters

def run_python(code: str, *, env: dict | None = None, timeout: float = 120):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess.
    stdout is unbuffered whatever the caller's environment says (a test's
    `env` may still ask otherwise): a buffered stdout lets a daemon thread be
    ended at exit holding the buffer's lock, and the exit then aborts."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env={**os.environ, "PYTHONUNBUFFERED": "1", **(env or {})},
                          timeout=timeout, cwd=str(ROOT / "tests"))


PRELUDE = """
import traceback
def raises(kind, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except kind as e:
        return e, [(f.filename, f.lineno, f.name) for f in traceback.extract_tb(e.__traceback__)]
    raise AssertionError(f'{call} did not raise {kind}')
"""


def check_python(code: str, env: dict | None = None):
    """Runs `code` (with `raises` defined) in a fresh interpreter; it must end normally."""
    r = run_python(PRELUDE + textwrap.dedent(code) + "\nprint('OK')\n", env=env)
    assert r.returncode == 0 and r.stdout.strip().endswith("OK"), r.stderr[-3000:]


# What a process that dies in the C++ runtime (a forced unwind swallowed or
# stopped by noexcept) or in the interpreter's fatal-error path leaves on stderr.
CRASH_SIGNS = ("terminate called", "FATAL: exception not rethrown", "Fatal Python error",
               "Segmentation fault", "Aborted")


def clean_exits(code, runs=1, *, env: dict | None = None, timeout: float = 60, also=(),
                status=0, workers=1):
    """Runs `code` in `runs` fresh interpreters, `workers` at a time (`code`
    is a str, or a function of the run's number that gives one). Each must
    end with `status` and nothing of CRASH_SIGNS or `also` on stderr.
    Returns the finished processes, in run order, for the caller's own checks."""
    def one(run):
        proc = run_python(code(run) if callable(code) else code, env=env, timeout=timeout)
        proc.ended = time.monotonic()
        signs = [text for text in (*CRASH_SIGNS, *also) if text in proc.stderr]
        assert proc.returncode == status and not signs, (
            f"run {run}: status {proc.returncode}, {signs}\n{proc.stderr[-3000:]}")
        return proc
    if workers == 1:
        return [one(run) for run in range(runs)]
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        return list(pool.map(one, range(runs)))


# ------------------------------------------------------------ traceback entries

def entries(exc):
    return [(f.filename, f.lineno, f.name) for f in traceback.extract_tb(exc.__traceback__)]


def entry(exc, index=-1):
    return entries(exc)[index]


def ours(qualname, line):
    """The entry the module adds for a failure in `qualname` at `line`."""
    return "cantorel/manage", line, f"cantorel.manage.{qualname}"


def our_lines(exc, qualname):
    """The lines of the module's entries for `qualname`, oldest first."""
    return [line for f, line, name in entries(exc)
            if f == "cantorel/manage" and name == f"cantorel.manage.{qualname}"]


# ------------------------------------------------------------ leaks

def _repeat(call, times, swallow):
    for _ in range(times):
        try:
            call()
        except swallow:
            pass  # dropped at once: a kept exception would keep its traceback alive


def live_objects():
    """How many objects the collector tracks, by type name."""
    return collections.Counter(type(o).__name__ for o in gc.get_objects())


live_objects() - live_objects()  # the first counting fills the ABCs' caches


def assert_no_leak(call, keep, *, runs, warm_up, swallow=(), tolerance=64 * 1024):
    """Calls `call` `warm_up` times, then `runs` times more with stdout thrown
    away and the exceptions in `swallow` dropped: the reference counts of the
    objects in `keep` must be as they were after the warm-up, no type may
    have more live objects by more than a few, and the memory tracemalloc
    traces must not grow by `tolerance` bytes."""
    with contextlib.redirect_stdout(_Discard()):
        _repeat(call, warm_up, swallow)
        gc.collect()
        counts = [sys.getrefcount(o) for o in keep]
        live = live_objects()
        started = not tracemalloc.is_tracing()
        if started:
            tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            _repeat(call, runs, swallow)
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - before
            if grown >= tolerance:
                # As below: a cache filling once grows once (on a loaded machine a
                # background capture's first 1000 cycles came to 66 KB, the next
                # 1000 to nothing); a leak grows again.
                before = tracemalloc.get_traced_memory()[0]
                _repeat(call, runs, swallow)
                gc.collect()
                grown = tracemalloc.get_traced_memory()[0] - before
        finally:
            if started:
                tracemalloc.stop()
        more = {t: n for t, n in (live_objects() - live).items() if n > 5}
        if more:
            # A cache filling once (the interpreter's, a library's, another
            # test's thread winding down) grows once; a leak grows again.
            live = live_objects()
            _repeat(call, runs, swallow)
            gc.collect()
            more = {t: n for t, n in (live_objects() - live).items() if n > 5 and t in more}
    assert [sys.getrefcount(o) for o in keep] == counts, [type(o).__name__ for o in keep]
    assert not more, f"more live objects after {runs} calls: {more}"
    assert grown < tolerance, f"{grown} bytes more after {runs} calls"


class _Discard:
    """A stdout that keeps nothing."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


# ------------------------------------------------------------ tiny models, fake sessions

def tiny_model(path, probe="width", *, width="n", n_outputs=2, state_out="Add",
               inputs=("input", "state", "sr")):
    """Writes a model with the real one's interface. Its first output shows one
    thing it received: the input's width, one input column (an int), the sum of
    the state, sr, or ("mean") sigmoid(mean(input)) of shape (1, 1). Its second
    output is state + 1 ("Add") or the state transposed; a third repeats the state."""
    from onnx import TensorProto as T, helper as h
    inits = [h.make_tensor("one", T.FLOAT, [], [1.0]), h.make_tensor("i0", T.INT64, [], [0]),
             h.make_tensor("i1", T.INT64, [], [1])]
    prob_shape = []
    if probe == "width":
        nodes = [h.make_node("Shape", ["input"], ["shape"]),
                 h.make_node("Gather", ["shape", "i1"], ["n"]),
                 h.make_node("Cast", ["n"], ["prob"], to=T.FLOAT)]
    elif probe == "state":
        nodes = [h.make_node("ReduceSum", ["state"], ["prob"], keepdims=0)]
    elif probe == "sr":
        nodes = [h.make_node("Cast", ["sr"], ["prob"], to=T.FLOAT)]
    elif probe == "mean":
        nodes = [h.make_node("ReduceMean", ["input"], ["m"], axes=[1], keepdims=1),
                 h.make_node("Sigmoid", ["m"], ["prob"])]
        prob_shape = [1, 1]
    else:
        inits.append(h.make_tensor("k", T.INT64, [], [probe]))
        nodes = [h.make_node("Gather", ["input", "k"], ["col"], axis=1),
                 h.make_node("Gather", ["col", "i0"], ["prob"], axis=0)]
    if state_out == "Add":
        nodes.append(h.make_node("Add", ["state", "one"], ["next"]))
    else:
        nodes.append(h.make_node("Transpose", ["state"], ["next"], perm=[2, 1, 0]))
    nodes.append(h.make_node("Identity", ["state"], ["extra"]))
    decl = {"input": h.make_tensor_value_info("input", T.FLOAT, [1, width]),
            "state": h.make_tensor_value_info("state", T.FLOAT, [2, 1, 128]),
            "sr": h.make_tensor_value_info("sr", T.INT64, [])}
    outputs = [h.make_tensor_value_info("prob", T.FLOAT, prob_shape),
               h.make_tensor_value_info("next", T.FLOAT, None),
               h.make_tensor_value_info("extra", T.FLOAT, [2, 1, 128])]
    graph = h.make_graph(nodes, "probe", [decl[i] for i in inputs], outputs[:n_outputs],
                         initializer=inits)
    model = h.make_model(graph, opset_imports=[h.make_opsetid("", 13)])
    model.ir_version = 8
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(model.SerializeToString())
    return path


class FakeSession:
    """A session whose run records its arguments and returns `result(feed)`."""

    def __init__(self, result=lambda feed: (np.float32(0.25), feed["state"] + 1)):
        self.calls, self.result = [], result

    def run(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result(args[1])


# ------------------------------------------------------------ audio

def load_tool(name):
    spec = importlib.util.spec_from_file_location(name, ROOT / "tools" / f"{name}.py")
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


vad_demo = load_tool("vad_demo")


def pcm(samples):
    return np.asarray(samples).astype("<i2").tobytes()


def write_wav(path, raw, channels, width, rate):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(width)
        w.setframerate(rate)
        w.writeframes(raw)


def dominant_hz(x, rate):
    spectrum = np.abs(np.fft.rfft(x * np.hanning(len(x))))
    return np.argmax(spectrum) * rate / len(x)


@pytest.fixture(scope="module")
def asr():
    """The demo's recogniser (cantorel_dev.hosts.pocketsphinx_asr)."""
    pytest.importorskip("pocketsphinx")
    from cantorel_dev.hosts.pocketsphinx_asr import PocketSphinxASR
    return PocketSphinxASR()


def espeak(directory, text):
    """Synthesised speech as a mono 16-bit WAV file (22050 Hz)."""
    if not shutil.which("espeak-ng"):
        pytest.skip("espeak-ng is needed to make synthetic speech")
    raw = directory / "speech.wav"
    # Not under a preloaded sanitizer runtime: espeak-ng can deadlock with it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run(["espeak-ng", "-w", str(raw), text], check=True, stdin=subprocess.DEVNULL,
                   env=env, timeout=60)
    return raw


class Tracked(Exception):
    """An exception that records a weak reference to each instance raised."""
    refs = []

    def __init__(self, *args):
        super().__init__(*args)
        Tracked.refs.append(weakref.ref(self))


def assert_handler_keeps_nothing(call):
    """`call()` raises Tracked somewhere inside a handler of the module, which
    catches it: once `call` returns, no reference to the exception is left,
    without any help from the cycle collector."""
    Tracked.refs.clear()
    enabled = gc.isenabled()
    gc.disable()
    try:
        with contextlib.redirect_stdout(_Discard()):
            call()
        assert Tracked.refs, "nothing was raised"
        alive = [r() for r in Tracked.refs if r() is not None]
        assert not alive, f"{len(alive)} caught exception(s) still alive: " + \
            ", ".join(f"{gc.get_referrers(e)!r:.300}" for e in alive)
    finally:
        if enabled:
            gc.enable()
