#!/usr/bin/env bash
# Builds the wheel as a user would (`pip wheel .`), installs it in a fresh
# virtual environment where pip may not build anything, and runs it there
# with no compiler on PATH: what a user without a C++20 compiler gets.
# Then checks what makes one wheel serve every CPython from 3.11 on: the
# abi3 tag, modules that need no libpython, and modules that export their
# PyInit_ function alone. Last, configures the extension modules with clang
# (the linker options each platform takes are guarded: a toolchain other
# than GNU's must configure).
#
#   bash tools/check_wheel.sh [PYTHON [LATER_PYTHON...]]   # default: python3
#
# The wheel is built with PYTHON and installed and run with it and with each
# LATER_PYTHON (3.12, 3.13: the one abi3 wheel serves them all).
# Takes a few minutes: the wheel is compiled from nothing in pip's own
# isolated build.
set -euo pipefail

cd "$(dirname "$0")/.."
python=${1:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "check_wheel: $*" >&2
    exit 1
}

echo "== pip wheel ."
# A build folder of its own, so that the wheel is compiled from nothing and
# the editable install's folder under build/ is left alone.
"$python" -m pip wheel . -w "$work/dist" --no-deps -q \
    --config-settings=build-dir="$work/build"
wheels=("$work"/dist/quarrow_dax-*.whl)
[ "${#wheels[@]}" -eq 1 ] && [ -f "${wheels[0]}" ] || fail "expected one wheel, found: ${wheels[*]}"
wheel=${wheels[0]}
echo "built $(basename "$wheel")"
case "$(basename "$wheel")" in
    *-cp311-abi3-*) ;;
    *) fail "not a cp311-abi3 wheel: $(basename "$wheel")" ;;
esac

# Installs the wheel in a fresh environment of the Python given and runs it.
run_in_fresh_environment() {
    local interpreter=$1 env_dir
    env_dir="$work/venv-$(basename "$interpreter")"
    echo "== $("$interpreter" --version): installed in a fresh environment, nothing built"
    "$interpreter" -m venv "$env_dir"
    # --only-binary with no index: pip takes this wheel as it is or fails; it
    # has nothing to build from and nowhere to fetch a source from.
    CC=/bin/false CXX=/bin/false "$env_dir/bin/pip" install -q --no-index --only-binary=:all: "$wheel"

    echo "== run with no compiler on PATH"
    # Only the environment's own bin: no gcc, g++, clang, cc or cmake is found.
    local bare_path="$env_dir/bin" tool
    for tool in gcc g++ cc c++ clang clang++ cmake; do
        if PATH="$bare_path" command -v "$tool" >/dev/null 2>&1; then
            fail "$tool is reachable on the bare PATH"
        fi
    done
    env -i HOME="$work" PATH="$bare_path" "$env_dir/bin/quarrow-dax" check examples
    env -i HOME="$work" PATH="$bare_path" "$env_dir/bin/python" -c '
import quarrow_dax
from quarrow_dax import batch, syntax
assert quarrow_dax.parse_expression("1 + 2").startswith("{")
assert syntax.first_error("1 +") is not None
print("imports and parses:", quarrow_dax.__version__)
'
    local golden=../shared/tools/check_native_golden.py
    if [ -f "$golden" ]; then
        # From the environment, not the source tree: the wheel's _native.
        (cd "$work" && env -i HOME="$work" PATH="$bare_path" "$env_dir/bin/python" "$OLDPWD/$golden") | tail -n 1 \
            | tee "$work/golden.txt"
        grep -q '^identical' "$work/golden.txt" || fail "the wheel's _native differs from the recorded outputs"
    fi
}

run_in_fresh_environment "$python"
# The same wheel on each later Python named (abi3: built once, runs on each).
for other in "${@:2}"; do
    run_in_fresh_environment "$other"
done

site=$("$work/venv-$(basename "$python")/bin/python" -c 'import quarrow_dax, os; print(os.path.dirname(quarrow_dax.__file__))')
if [ "$(uname -s)" = Linux ] && command -v readelf >/dev/null && command -v nm >/dev/null; then
    echo "== the extension modules"
    count=0
    for module in "$site"/_*.so; do
        name=$(basename "$module")
        count=$((count + 1))
        case "$name" in
            *.abi3.so) ;;
            *) fail "$name is not built against the stable ABI" ;;
        esac
        if readelf -d "$module" | grep -q 'NEEDED.*libpython'; then
            fail "$name needs libpython"
        fi
        exported=$(nm -D --defined-only "$module" | awk '$2 ~ /^[TtDdBbRrVvWwiu]$/ { print $3 }' | sort | tr '\n' ' ')
        [ "$exported" = "PyInit_${name%%.*} " ] || fail "$name exports more than PyInit_${name%%.*}: $exported"
        echo "$name: abi3, no libpython, exports PyInit_${name%%.*} alone"
    done
    [ "$count" -eq 2 ] || fail "expected the two modules _native and _syntax, found $count"
fi

if command -v clang++ >/dev/null; then
    echo "== configured with clang"
    CC=clang CXX=clang++ cmake -S . -B "$work/clang" -DDAX_BUILD_PYTHON=ON \
        -DPython_EXECUTABLE="$("$python" -c 'import sys; print(sys.executable)')" >"$work/clang.log" 2>&1 \
        || { cat "$work/clang.log" >&2; fail "the build does not configure with clang"; }
    grep -q 'CMAKE_CXX_COMPILER_ID.*Clang\|The CXX compiler identification is Clang' "$work/clang.log" \
        || fail "cmake did not take clang"
    echo "configures with $(clang++ --version | head -n 1)"
fi

echo "check_wheel: ok"
