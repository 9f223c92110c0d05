#!/usr/bin/env bash
# Runs the whole Python test suite against the extension modules built with
# AddressSanitizer and UndefinedBehaviorSanitizer. The modules are built apart,
# in build/asan/, and laid with the package's Python files into
# build/asan/site/, which goes first on PYTHONPATH: the installed package is
# left untouched. Fails on any test failure or sanitizer report.
#
#   tools/sanitize_tests.sh [PYTEST_ARGS...]
#
# Needs what the normal build needs (g++, cmake, Python headers) and the
# test extra (pytest, hypothesis).
set -euo pipefail

cd "$(dirname "$0")/.."
root=$PWD
build=build/asan
site=$build/site
python=${PYTHON:-python3}

sanitize="-fsanitize=address,undefined -fno-omit-frame-pointer -g"
cmake -S . -B "$build" -DDAX_BUILD_PYTHON=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$(command -v "$python")" \
    -DCMAKE_CXX_FLAGS="$sanitize" \
    -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$build" --target _native _syntax -j"$(nproc 2>/dev/null || echo 2)"

rm -rf "$site"
mkdir -p "$site"
cp -r python/quarrow_dax "$site/"
cp "$build"/_native*.so "$build"/_syntax*.so "$site/quarrow_dax/"

# Sanitizer instrumentation makes the parser's frames several times larger
# (a table constructor level grows from about 0.6 KiB to 3 KiB), so the tests
# that parse the deepest nesting in a 256 KiB thread would overflow for that
# reason alone. This plugin scales every thread stack size that is asked for;
# the tests still run the same inputs, and the plain run checks the real
# small-stack bound.
cat >"$site/sanitizer_stack_scale.py" <<'PY'
import threading

SCALE = 8
_stack_size = threading.stack_size


def _scaled(size=0):
    return _stack_size(size * SCALE) // SCALE


threading.stack_size = _scaled
PY

# The interpreter is not built with ASan, so the runtime must be loaded
# before anything else. CPython leaves memory allocated at exit on purpose,
# so leak reports would only be noise.
libasan=$(gcc -print-file-name=libasan.so)
[ -e "$libasan" ] || { echo "no libasan.so from gcc: $libasan" >&2; exit 2; }
export LD_PRELOAD=$libasan
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:check_initialization_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PYTHONPATH=$root/$site${PYTHONPATH:+:$PYTHONPATH}

# Proves which module the tests will get before spending time on them.
"$python" -c 'import quarrow_dax._native as m, quarrow_dax._syntax as s, sys; print("== testing", m.__file__, s.__file__); sys.exit(0 if "/build/asan/" in m.__file__ and "/build/asan/" in s.__file__ else 1)'
# ASan's operator new reports running out of memory and aborts instead of
# throwing std::bad_alloc, so the test that exhausts memory on purpose to see
# MemoryError cannot pass here; the plain test run covers it.
"$python" -m pytest -q -p no:cacheprovider -p sanitizer_stack_scale \
    --deselect tests/test_module.py::test_memory_exhaustion_raises_memory_error tests "$@"
echo "== sanitized test run clean"
