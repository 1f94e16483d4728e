#!/usr/bin/env bash
# Builds the libFuzzer targets of the pure cores (clang, with AddressSanitizer
# and UndefinedBehaviorSanitizer) and runs each for the given number of
# seconds, starting from its seed corpus in fuzz/corpus/<name> when present.
# New corpus entries go to build/fuzz-corpus/<name>, not into the repo.
#
#   tools/run_fuzzers.sh [SECONDS] [NAME...]
#
# Any clang++ that links libFuzzer targets serves: clang++ itself, else the
# newest clang++-N on PATH.  Run as root on Debian, it installs clang and
# the fuzzer runtime of clang's own version when they are missing, so the
# same script works whichever clang the release provides.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true

# 0 when the compiler links a libFuzzer target.
links_fuzzer() {
  local out status
  out=$(mktemp)
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }\n' \
    | "$1" -x c++ -fsanitize=fuzzer,address,undefined -o "$out" - >/dev/null 2>&1 && status=0 || status=1
  rm -f "$out"
  return $status
}

# The clang++ compilers on PATH: the unversioned one first, then the
# versioned ones, newest first.
clang_candidates() {
  command -v clang++ 2>/dev/null || true
  compgen -c clang++- | grep -E '^clang\+\+-[0-9]+$' | sort -u -t- -k2,2nr | while read -r c; do command -v "$c"; done
}

find_fuzz_cxx() {
  local c
  while read -r c; do
    if [ -n "$c" ] && links_fuzzer "$c"; then
      echo "$c"
      return 0
    fi
  done < <(clang_candidates)
  return 1
}

clangxx=$(find_fuzz_cxx || true)
if [ -z "$clangxx" ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  echo "run_fuzzers: installing clang and libFuzzer's runtime" >&2
  apt-get update -qq
  command -v clang++ >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
  # The runtime is packaged per clang version (libclang-rt-N-dev).
  major=$(clang++ -dumpversion | cut -d. -f1)
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "libclang-rt-$major-dev" >/dev/null || true
  clangxx=$(find_fuzz_cxx || true)
fi
if [ -z "$clangxx" ]; then
  echo "run_fuzzers: needs a clang++ that links libFuzzer targets" \
       "(Debian: apt-get install clang libclang-rt-N-dev, N being clang's major version)" >&2
  exit 1
fi

# meson and ninja as the test script finds them: the interpreter's scripts first.
py=${PYTHON:-python3}
PATH="$("$py" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"
if ! command -v meson >/dev/null || ! command -v ninja >/dev/null; then
  "$py" -m pip install -q meson ninja
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
