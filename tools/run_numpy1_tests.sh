#!/usr/bin/env bash
# The modules are compiled against NumPy 2's headers with the C-API target
# of NumPy 1.20; this runs the tests of the NumPy-using modules on a NumPy
# 1.26 runtime, with the very same build.
#
# NumPy 1.26 publishes wheels for CPython 3.9 to 3.12 only.  On an
# interpreter it has none for, the check cannot run: the script says so and
# exits 0 instead of building NumPy 1.26 from source or failing.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
# One environment per interpreter version.
version=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
wheel_dir=$(pwd)/build/numpy1-wheel-$version
venv=$(pwd)/build/venv-numpy1-$version

if [ ! -x "$venv/bin/python" ]; then
  "$py" -m venv "$venv"
fi
if ! out=$("$venv/bin/python" -m pip install -q --only-binary=numpy "numpy==1.26.*" 2>&1); then
  if grep -q "No matching distribution found" <<<"$out"; then
    interpreter=$("$venv/bin/python" -c 'import platform; print(platform.python_implementation(), platform.python_version())')
    echo "NumPy 1.26 runtime tests SKIPPED: NumPy 1.26 has no wheel for $interpreter on this platform."
    exit 0
  fi
  printf '%s\n' "$out" >&2
  exit 1
fi
"$venv/bin/python" -m pip install -q pytest hypothesis
"$venv/bin/python" -c 'import numpy; assert numpy.__version__.startswith("1.26"), numpy.__version__'

rm -rf "$wheel_dir"
"$py" -m pip wheel -q --no-build-isolation --no-deps -Cbuild-dir=build/py-numpy1-$version -w "$wheel_dir" .
"$venv/bin/python" -m pip install -q --no-deps --force-reinstall "$wheel_dir"/tavrel-*.whl

cd tests
files=$(ls test_datetime*.py test_pydatetime*.py test_iso8601*.py test_almanac*.py test_column_reader*.py test_arrow.py 2>/dev/null)
"$venv/bin/python" -P -m pytest -q $files
