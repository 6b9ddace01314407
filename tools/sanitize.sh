#!/usr/bin/env bash
# Builds varnel._core (and the private _test_core module) with
# AddressSanitizer and UndefinedBehaviorSanitizer (CMake option
# VARNEL_SANITIZE=ON, plus float-cast-overflow, which -fsanitize=undefined
# leaves out) in a virtual environment and a build directory of their own,
# then runs the test suite under them.
#
#   tools/sanitize.sh                      # the whole suite
#   tools/sanitize.sh tests/test_binding.py -k csc   # any pytest arguments
#
# Environment:
#   PYTHON                   interpreter to build for (default: python3; the
#                            active virtual environment's when one is active)
#   VARNEL_SANITIZE_VENV     default /tmp/varnel-sanitize-venv
#   VARNEL_SANITIZE_BUILD    default /tmp/varnel-sanitize-build
#
# The sanitized environment sees the packages of $PYTHON's environment (test
# dependencies included) through a .pth file, so nothing is installed twice;
# varnel itself is installed into it and shadows any other copy.
#
# Runtime settings: the ASan runtime is preloaded, with libstdc++ (the
# interpreter itself is neither instrumented nor linked against it); Python
# objects are allocated with malloc so that ASan watches them too;
# LeakSanitizer is off (detect_leaks=0) because CPython keeps its interned
# objects and module state alive at exit and would drown real reports --
# leaks are measured by tests/test_robust_leaks.py instead;
# allocator_may_return_null=1 lets malloc fail as usual (NumPy raises
# MemoryError).  ASan's operator new still reports an impossible request and
# aborts instead of throwing std::bad_alloc, so the tests skip the few cases
# that would really attempt one.  Any ASan or UBSan report fails the run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
python="${PYTHON:-python3}"
venv="${VARNEL_SANITIZE_VENV:-/tmp/varnel-sanitize-venv}"
build="${VARNEL_SANITIZE_BUILD:-/tmp/varnel-sanitize-build}"
cxx="${CXX:-c++}"

libasan="$("$cxx" -print-file-name=libasan.so)"
libstdcxx="$("$cxx" -print-file-name=libstdc++.so)"
if [ ! -e "$libasan" ]; then
    echo "sanitize.sh: $cxx has no libasan.so; install the compiler's sanitizer runtime" >&2
    exit 2
fi

if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
fi
# Make the calling environment's packages visible: every site directory on
# its path, added with site.addsitedir so that their own .pth files work.
site="$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
"$python" - > "$site/_varnel_parent_env.pth" <<'PY'
import sys
for p in dict.fromkeys(sys.path):
    if p.endswith(("site-packages", "dist-packages")):
        print(f"import site; site.addsitedir({p!r})")
PY

isolation=()
if "$venv/bin/python" -c 'import scikit_build_core, numpy' 2>/dev/null; then
    isolation=(--no-build-isolation)
fi
"$venv/bin/python" -m pip install --quiet --no-deps --force-reinstall "${isolation[@]}" \
    -Cbuild-dir="$build" \
    -Ccmake.build-type=RelWithDebInfo \
    -Ccmake.define.VARNEL_SANITIZE=ON \
    "-Ccmake.define.CMAKE_CXX_FLAGS=-fsanitize=float-cast-overflow -fno-sanitize-recover=float-cast-overflow" \
    "$root"

# libstdc++ is preloaded too: the interpreter does not link it, and ASan
# resolves the real __cxa_throw only at start-up (a C++ exception would
# otherwise end the process with "CHECK failed ... real___cxa_throw").
export LD_PRELOAD="$libasan:$libstdcxx${LD_PRELOAD:+:$LD_PRELOAD}"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

cd "$root"
# The sanitized module must be the one under test.
"$venv/bin/python" - <<'PY'
import pathlib, sys, varnel._core as m
so = pathlib.Path(m.__file__)
assert so.is_relative_to(pathlib.Path(sys.prefix)), f"varnel._core comes from {so}, not the sanitized build"
print(f"sanitized varnel._core: {so}")
PY
if [ "$#" -eq 0 ]; then
    set -- tests
fi
exec "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
