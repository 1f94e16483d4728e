#!/usr/bin/env bash
# Builds and installs tavrel, then runs the whole test suite: the native unit
# tests of the pure cores (GoogleTest, through `meson test`) and the Python
# tests (pytest).
#
#   tools/run_tests.sh                 normal build
#   tools/run_tests.sh --sanitize      AddressSanitizer + UndefinedBehaviorSanitizer build,
#                                      installed into its own virtual environment
#   tools/run_tests.sh ... -- ARGS     extra arguments for pytest
#
# Works on a fresh Debian machine with Python 3.11+ (it installs the build and
# test requirements it lacks into the interpreter it uses, the sanitizer
# build's own environment included) and inside the target roots, where
# everything is preinstalled and no package index is reachable.
set -euo pipefail
cd "$(dirname "$0")/.."

py=${PYTHON:-python3}
arch=${TAVREL_TARGET_ARCH:-host}
sanitize=0
pytest_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --sanitize) sanitize=1 ;;
    --) shift; pytest_args=("$@"); break ;;
    *) pytest_args+=("$1") ;;
  esac
  shift
done

step() { printf '\n=== %s\n' "$*"; }

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# The sanitizer build gets a virtual environment of its own, which sees the
# packages of the interpreter it is made from.
if [ "$sanitize" = 1 ]; then
  venv=$(pwd)/build/venv-$arch-asan
  if [ ! -x "$venv/bin/python" ]; then
    "$py" -m venv --system-site-packages "$venv"
  fi
  py=$venv/bin/python
fi
# Console scripts installed for this interpreter (meson, ninja) come first.
PATH="$("$py" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"

# --- requirements ---------------------------------------------------------
# Installed into the interpreter that builds and tests, whatever ran before
# (the target roots have everything preinstalled and no package index).
if [ "$arch" = host ]; then
  missing=$("$py" - <<'PY'
import importlib.util
need = {"mesonpy": "meson-python", "numpy": "numpy", "pytest": "pytest", "hypothesis": "hypothesis"}
print(" ".join(pkg for mod, pkg in need.items() if importlib.util.find_spec(mod) is None))
PY
)
  command -v meson >/dev/null || missing="$missing meson"
  command -v ninja >/dev/null || missing="$missing ninja"
  if [ -n "${missing// /}" ]; then
    step "installing $missing"
    "$py" -m pip install -q $missing
  fi
  if ! pkg-config --exists gtest 2>/dev/null && [ ! -e /usr/include/gtest/gtest.h ]; then
    step "installing GoogleTest"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
  fi
fi

# The package build also builds the native unit tests (they are not
# installed), so that one compilation serves both.
setup_args=(-Csetup-args=-Dnative_tests=true)
tag=$arch
env_vars=()
if [ "$sanitize" = 1 ]; then
  tag=$arch-asan
  setup_args+=(-Csetup-args=-Db_sanitize=address,undefined -Csetup-args=-Db_lundef=false
               -Csetup-args=-Dbuildtype=debugoptimized)
  # The interpreter is not instrumented: the runtime must come first, and its
  # own allocations are not ours to report.
  libasan=$(${CXX:-c++} -print-file-name=libasan.so)
  env_vars=(LD_PRELOAD="$libasan" ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1
            UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1)
fi
build_dir=build/py-$tag

# --- build and install ------------------------------------------------------
step "building and installing tavrel ($tag)"
"$py" -m pip install -q --no-build-isolation -Cbuild-dir="$build_dir" "${setup_args[@]}" .

# --- native unit tests ------------------------------------------------------
step "native unit tests ($tag)"
meson test -C "$build_dir" --no-rebuild --print-errorlogs --num-processes 2
# The tokenizer's again with its portable block scanner forced (see below).
TAVREL_TOKENIZER_PORTABLE=1 meson test -C "$build_dir" --no-rebuild --print-errorlogs tokenizer

# --- Python tests -----------------------------------------------------------
step "pytest ($tag)"
cd tests
# -P keeps the source tree's tavrel/ (which has no built modules) off sys.path.
env "${env_vars[@]}" "$py" -P -m pytest -q "${pytest_args[@]}"

# The tokenizer runs with SSE2 or NEON block scans where the CPU has them;
# its tests run again over the portable path (the native tests compare the
# paths themselves).  Skipped when pytest was given arguments.
if [ ${#pytest_args[@]} -eq 0 ]; then
  step "pytest, tokenizer with its portable scanner ($tag)"
  env "${env_vars[@]}" TAVREL_TOKENIZER_PORTABLE=1 "$py" -P -m pytest -q \
    test_tokenizer.py test_parser_module.py
fi
