"""Twins for the benchmarks: the same Python source run as plain Python and
compiled by Cython, so that every figure of the module stands beside plain
Python and the compiled-Python peer.

    from cython_twin import python_twin, cython_twin
    source = '''
    import numpy as np
    class TwinVoiceVD:
        def reset(self):
            self.state.fill(0)
    '''
    plain = python_twin(source, "twin_detector")     # a module made by exec
    compiled = cython_twin(source, "twin_detector")  # the same, built by Cython

`cython_twin` writes the source to a temporary directory as a .py file
(Cython's pure-Python mode, so annotations type the arguments as they would
for compiled Python), translates it with cythonize and compiles it with the
compiler and flags the interpreter was built with, then imports it. Cython
comes from the `bench` extra (pip install '.[bench]'). The build is cached in
the temporary directory for the life of the process, which removes it at exit.
"""
import atexit
import importlib.util
import os
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import types

_BUILD_DIR = None


def python_twin(source, name):
    """The source executed as a plain Python module called `name`."""
    module = types.ModuleType(name)
    module.__file__ = f"<{name}>"
    exec(compile(textwrap.dedent(source), module.__file__, "exec"), vars(module))
    return module


def _run(command, cwd):
    proc = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"{shlex.join(command)} failed:\n{proc.stdout}\n{proc.stderr}")


def cython_twin(source, name, directives=None):
    """The source compiled by Cython as an extension module called `name`."""
    if importlib.util.find_spec("Cython") is None:
        sys.exit("bench: Cython is needed for the compiled twins: pip install '.[bench]'")
    global _BUILD_DIR
    if _BUILD_DIR is None:
        _BUILD_DIR = tempfile.mkdtemp(prefix="bench-cython-")
        atexit.register(shutil.rmtree, _BUILD_DIR, ignore_errors=True)
    directory = os.path.join(_BUILD_DIR, name)
    os.makedirs(directory, exist_ok=True)
    py = os.path.join(directory, f"{name}.py")
    with open(py, "w") as f:
        f.write(textwrap.dedent(source))
    # Cython's own command line: cythonize() needs distutils, gone from 3.12.
    options = [f"-X{key}={value}" for key, value in (directives or {}).items()]
    _run([sys.executable, "-m", "cython", "-3", *options, f"{name}.py"], directory)

    get = sysconfig.get_config_var
    target = os.path.join(directory, name + get("EXT_SUFFIX"))
    compile_ = (shlex.split(get("CC")) + shlex.split(get("CFLAGS") or "")
                + shlex.split(get("CCSHARED") or "")
                + ["-I", sysconfig.get_paths()["include"], "-c", f"{name}.c", "-o", f"{name}.o"])
    link = shlex.split(get("LDSHARED")) + [f"{name}.o", "-o", target]
    _run(compile_, directory)
    _run(link, directory)

    spec = importlib.util.spec_from_file_location(name, target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def manage_twin(name="cython_manage_twin"):
    """The module's Python twin (cantorel_dev/twin/manage.py) compiled by
    Cython, its statements on the module's lines. Its string annotations stay
    strings, as in the module, instead of typing the arguments."""
    from cantorel_dev import twin
    return cython_twin(twin.SOURCE, name, directives={"annotation_typing": False})
