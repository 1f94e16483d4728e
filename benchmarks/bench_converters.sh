#!/bin/sh
# Builds (through meson, in build/bench) and runs the converter benchmark
# (native, no Python involved).
# Usage: benchmarks/bench_converters.sh [count]   (default 10 million texts)
set -e
cd "$(dirname "$0")/.."
exec "${PYTHON:-python3}" benchmarks/native.py bench_converters "$@"
