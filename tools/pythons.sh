# Which CPython a command uses, and its venv. Sourced by setup.sh, test.sh and
# main.sh so that all three agree; it only looks, it installs nothing.
#
#   CANTOREL_PYTHON=3.12            newest 3.12.x under $(pyenv root)/versions
#   CANTOREL_PYTHON=3.12.1          exactly that pyenv version
#   CANTOREL_PYTHON=/path/python3   that interpreter
#   (unset)                         3.10, the version the module is written for
#
# The venv is .venv for 3.10 and .venv-3.X for the others, unless
# CANTOREL_VENV names one. Each version builds into its own build/cp3X-*
# directory (the wheel tag names it), so switching never rebuilds another's.

# The versions built and tested here (and what the wheel scripts build when
# asked for none); newer ones are accepted too.
CANTOREL_SUPPORTED_PYTHONS=(3.10 3.11 3.12 3.13)
CANTOREL_DEFAULT_PYTHON=3.10

_pythons_die() {
    echo "${CANTOREL_TOOL:-setup}: error: $*" >&2
    exit 2
}

_pythons_supported() {
    local v
    for v in "${CANTOREL_SUPPORTED_PYTHONS[@]}"; do
        [ "$v" = "$1" ] && return 0
    done
    # Versions newer than those tested build on the public C API alone.
    case "$1" in
        3.1[4-9] | 3.[2-9][0-9]) return 0 ;;
    esac
    return 1
}

_pythons_refuse() {
    local all=("${CANTOREL_SUPPORTED_PYTHONS[@]}")
    local list="${all[*]:0:${#all[@]}-1}"
    _pythons_die "$1 is not supported: cantorel builds for CPython 3.10 and later (tested: ${list// /, } and ${all[-1]})" \
        "(set CANTOREL_PYTHON to one of them, e.g. CANTOREL_PYTHON=3.12)"
}

_pythons_pyenv_root() {
    if command -v pyenv >/dev/null 2>&1; then
        pyenv root
    elif [ -n "${PYENV_ROOT:-}" ]; then
        echo "$PYENV_ROOT"
    else
        echo "$HOME/.pyenv"
    fi
}

# Sets CANTOREL_PY_MINOR (e.g. 3.12), CANTOREL_PY_BASE (the interpreter a new
# venv is made from) and CANTOREL_PY_VENV. Stops with a message, before
# anything is built or installed, for a version outside the supported range
# or one that is not there.
cantorel_resolve_python() {
    local want="${CANTOREL_PYTHON:-$CANTOREL_DEFAULT_PYTHON}"
    local minor="" base=""
    case "$want" in
        */*)
            [ -x "$want" ] || _pythons_die "CANTOREL_PYTHON=$want is not an executable interpreter"
            # Written to run on any interpreter, Python 2 and PyPy included.
            minor="$("$want" -c 'import sys, platform; sys.stdout.write("%d.%d" % sys.version_info[:2] if platform.python_implementation() == "CPython" else platform.python_implementation())' 2>/dev/null)" ||
                _pythons_die "CANTOREL_PYTHON=$want does not run"
            [ -n "$minor" ] || _pythons_die "CANTOREL_PYTHON=$want does not say which Python it is"
            _pythons_supported "$minor" || _pythons_refuse "$want, which is ${minor/#[0-9]/CPython &},"
            base="$want"
            ;;
        [0-9]*.[0-9]*)
            [[ "$want" =~ ^([0-9]+\.[0-9]+)(\.[0-9]+)?$ ]] ||
                _pythons_die "CANTOREL_PYTHON=$want is neither a version such as 3.12 nor a path"
            minor="${BASH_REMATCH[1]}"
            _pythons_supported "$minor" || _pythons_refuse "CPython $minor"
            local root
            root="$(_pythons_pyenv_root)"
            if [ -n "${BASH_REMATCH[2]}" ]; then
                base="$root/versions/$want"
            else
                # Newest patch release; 3.1 must not match 3.10, hence the dot.
                base="$( (ls -d "$root/versions/$minor".*/ 2>/dev/null || true) | sed 's:/$::' |
                    { grep -E "/$minor\.[0-9]+$" || true; } | sort -V | tail -n 1)"
            fi
            if [ -z "$base" ] || [ ! -x "$base/bin/python" ]; then
                _pythons_die "no CPython $want under $root/versions (install it with: pyenv install $want)"
            fi
            base="$base/bin/python"
            ;;
        *)
            _pythons_die "CANTOREL_PYTHON=$want is neither a version such as 3.12 nor a path"
            ;;
    esac
    CANTOREL_PY_MINOR="$minor"
    CANTOREL_PY_BASE="$base"
    if [ -n "${CANTOREL_VENV:-}" ]; then
        CANTOREL_PY_VENV="$CANTOREL_VENV"
    elif [ "$minor" = "$CANTOREL_DEFAULT_PYTHON" ]; then
        CANTOREL_PY_VENV=.venv
    else
        CANTOREL_PY_VENV=".venv-$minor"
    fi
}

# For the wheel scripts: the versions named as arguments (all supported ones
# when none are), each refused before anything is built if it is unsupported
# or missing; fills the array `versions` and the map `base` (version ->
# interpreter). Call it as: declare -A base; cantorel_resolve_versions "$@"
cantorel_resolve_versions() {
    versions=("$@")
    [ "${#versions[@]}" -gt 0 ] || versions=("${CANTOREL_SUPPORTED_PYTHONS[@]}")
    local v
    for v in "${versions[@]}"; do
        CANTOREL_PYTHON="$v" CANTOREL_VENV="" cantorel_resolve_python
        base[$v]="$CANTOREL_PY_BASE"
    done
}
