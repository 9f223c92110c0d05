#!/usr/bin/env bash
# Builds the four libFuzzer targets with ASan and UBSan, seeds their corpora
# and runs each for SECONDS_PER_TARGET seconds (default 20). Exits non-zero
# when a target finds a crash, a leak, undefined behaviour or a broken
# invariant; the input is then saved under build/fuzz/artifacts/.
#
#   fuzz/run_fuzz.sh [SECONDS_PER_TARGET]
#
# Environment: CXX (a clang++ with libFuzzer; found or installed otherwise),
# FUZZ_JOBS (parallel compiles, default: the number of CPUs).
set -euo pipefail

cd "$(dirname "$0")/.."
seconds=${1:-20}
case $seconds in '' | *[!0-9]*) echo "usage: $0 [SECONDS_PER_TARGET]" >&2; exit 2 ;; esac

out=build/fuzz
targets=(lex parse_expression parse_query references scan_split)
flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -fno-sanitize-recover=all
       -Idax_parser/include -Idax_parser/src -Ipython-module)

# --- compiler -------------------------------------------------------------

# True when "$1" can build and link a libFuzzer program.
can_fuzz() {
    command -v "$1" >/dev/null 2>&1 || return 1
    local probe
    probe=$(mktemp -d)
    printf '%s\n' '#include <cstdint>' '#include <cstddef>' \
        'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' >"$probe/p.cpp"
    "$1" -fsanitize=fuzzer,address,undefined "$probe/p.cpp" -o "$probe/p" >/dev/null 2>&1
    local status=$?
    rm -rf "$probe"
    return $status
}

find_compiler() {
    local candidate
    for candidate in ${CXX:-} clang++ clang++-14 clang++-15 clang++-16 clang++-17 clang++-18 clang++-19; do
        if can_fuzz "$candidate"; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

if ! cxx=$(find_compiler); then
    # Debian's clang is 14; libFuzzer and the sanitizer runtimes ship apart.
    echo "== installing clang with libFuzzer" >&2
    if [ "$(id -u)" -ne 0 ]; then
        echo "need root to install clang, or set CXX to a clang++ with libFuzzer" >&2
        exit 2
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >/dev/null
    apt-get install -y -q --no-install-recommends clang libclang-rt-14-dev >/dev/null
    cxx=$(find_compiler) || { echo "no clang++ with libFuzzer after the install" >&2; exit 2; }
fi
echo "== compiler: $cxx ($("$cxx" --version | head -n 1))"

# --- build ----------------------------------------------------------------

mkdir -p "$out/obj" "$out/bin" "$out/artifacts" "$out/logs"
jobs=${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}

# The library is instrumented for coverage but gets libFuzzer's main only
# through the targets' link.
library_sources=(dax_parser/src/*.cpp python-module/native/json_writer.cpp python-module/syntax/references.cpp
                 python-module/batch/scan_splitter.cpp)
compile() {  # SOURCE OBJECT SANITIZERS
    "$cxx" "${flags[@]}" "-fsanitize=$3" -c "$1" -o "$2"
}
pids=()
objects=()
for source in "${library_sources[@]}"; do
    object="$out/obj/$(basename "${source%.cpp}").o"
    objects+=("$object")
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do sleep 0.2; done
    compile "$source" "$object" fuzzer-no-link,address,undefined &
    pids+=($!)
done
for target in "${targets[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do sleep 0.2; done
    compile "fuzz/fuzz_$target.cpp" "$out/obj/fuzz_$target.o" fuzzer,address,undefined &
    pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done
for target in "${targets[@]}"; do
    "$cxx" -fsanitize=fuzzer,address,undefined "$out/obj/fuzz_$target.o" "${objects[@]}" -o "$out/bin/fuzz_$target"
done
echo "== built: ${targets[*]/#/$out/bin/fuzz_}"

# --- seeds ----------------------------------------------------------------

# One seed file per distinct text: the shared corpus of real DAX, the
# examples, and every string literal of the Python tests (most are inputs).
seeds="$out/seeds"
mkdir -p "$seeds"
python3 - "$seeds" <<'PY'
import ast, hashlib, pathlib, sys

seeds = pathlib.Path(sys.argv[1])
root = pathlib.Path.cwd()
texts = []
for folder in (root.parent / "shared" / "corpus", root / "examples"):
    if folder.is_dir():
        texts += [p.read_bytes() for p in sorted(folder.rglob("*.dax"))]
for test in sorted((root / "tests").glob("*.py")):
    for node in ast.walk(ast.parse(test.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Constant) and isinstance(node.value, str) and 0 < len(node.value) <= 4096:
            texts.append(node.value.encode("utf-8", "surrogatepass"))
for text in texts:
    (seeds / hashlib.sha1(text).hexdigest()).write_bytes(text)
print(f"== seeds: {len(set(texts))} distinct inputs in {seeds}")
PY

# --- run ------------------------------------------------------------------

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
failed=()
summary=()
for target in "${targets[@]}"; do
    corpus="$out/corpus/$target"
    mkdir -p "$corpus"
    log="$out/logs/fuzz_$target.log"
    echo "== fuzz_$target for ${seconds}s (log: $log)"
    status=0
    "$out/bin/fuzz_$target" "$corpus" "$seeds" \
        -dict=fuzz/dax.dict -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="$out/artifacts/fuzz_$target-" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    size=$(find "$corpus" -type f | wc -l)
    summary+=("fuzz_$target: ${runs:-?} executions, corpus $size files")
    if [ "$status" -ne 0 ]; then
        failed+=("fuzz_$target")
        echo "!! fuzz_$target failed (status $status); last lines of its log:" >&2
        tail -n 40 "$log" >&2
    fi
done

printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -ne 0 ]; then
    echo "FAILED: ${failed[*]}; inputs in $out/artifacts/ (see fuzz/README.md to replay and minimise)" >&2
    exit 1
fi
echo "== no crash"
