#!/usr/bin/env bash
# Builds and runs the C++ tests, then the Python tests against the installed
# package (install it first: pip install '.[test]'). Fails if any test fails
# or if pytest collects nothing (its exit status 5).
set -euo pipefail

cd "$(dirname "$0")/.."

cmake -S . -B build/cpp-tests -DDAX_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/cpp-tests -j2
build/cpp-tests/dax_parser_tests

# The exact module's results over the shared corpus, against the outputs
# recorded for it: any byte of difference fails the run.
golden=../shared/tools/check_native_golden.py
if [ -f "$golden" ]; then
    python "$golden"
else
    echo "note: $golden not found; the recorded corpus outputs were not compared" >&2
fi

python -m pytest tests
