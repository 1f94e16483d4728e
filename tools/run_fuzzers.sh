#!/usr/bin/env bash
# Builds the libFuzzer targets of the pure cores (clang, with AddressSanitizer
# and UndefinedBehaviorSanitizer) and runs each for the given number of
# seconds, starting from its seed corpus in fuzz/corpus/<name> when present.
# New corpus entries go to build/fuzz-corpus/<name>, not into the repo.
#
#   tools/run_fuzzers.sh [SECONDS] [NAME...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true

clangxx=$(command -v clang++ || command -v clang++-14 || true)
if [ -z "$clangxx" ]; then
  echo "run_fuzzers: clang++ is needed (Debian: clang libclang-rt-14-dev)" >&2
  exit 1
fi

dir=build/fuzz
if [ ! -f "$dir/build.ninja" ]; then
  CXX=$clangxx meson setup "$dir" -Dfuzzers=true -Dbuildtype=debugoptimized -Db_ndebug=false >/dev/null
fi
ninja -C "$dir" >/dev/null

names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for exe in "$dir"/fuzz/fuzz_*; do
    [ -f "$exe" ] && [ -x "$exe" ] && names+=("$(basename "$exe" | sed 's/^fuzz_//')")
  done
fi

status=0
for name in "${names[@]}"; do
  work=build/fuzz-corpus/$name
  mkdir -p "$work"
  seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
  printf '\n=== fuzz_%s for %ss\n' "$name" "$seconds"
  if ! UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
      "$dir/fuzz/fuzz_$name" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="build/fuzz-corpus/$name-" "$work" "${seeds[@]}" 2>&1 | tail -n 12; then
    status=1
  fi
done
exit $status
