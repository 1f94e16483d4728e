#!/bin/sh
# Builds and runs the converter benchmark (native, no Python involved).
# Usage: benchmarks/bench_converters.sh [count]   (default 10 million texts)
set -e
cd "$(dirname "$0")/.."
out="${TMPDIR:-/tmp}/tavrel_bench_converters"
${CXX:-g++} -std=c++20 -O3 -ffp-contract=off -Itavrel/_libs -Itavrel/_libs/include \
    benchmarks/bench_converters.cpp tavrel/_libs/tokenizer/converters.cpp -o "$out"
exec "$out" "$@"
