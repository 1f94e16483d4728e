#!/usr/bin/env bash
# The modules are compiled against NumPy 2's headers with the C-API target
# of NumPy 1.20; this runs the tests of the NumPy-using modules on a NumPy
# 1.26 runtime, with the very same build.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
wheel_dir=$(pwd)/build/numpy1-wheel
venv=$(pwd)/build/venv-numpy1

rm -rf "$wheel_dir"
"$py" -m pip wheel -q --no-build-isolation --no-deps -Cbuild-dir=build/py-numpy1 -w "$wheel_dir" .
if [ ! -x "$venv/bin/python" ]; then
  "$py" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q "numpy==1.26.*" pytest hypothesis
"$venv/bin/python" -m pip install -q --no-deps --force-reinstall "$wheel_dir"/tavrel-*.whl
"$venv/bin/python" -c 'import numpy; assert numpy.__version__.startswith("1.26"), numpy.__version__'

cd tests
files=$(ls test_datetime*.py test_pydatetime*.py test_iso8601*.py test_almanac*.py test_column_reader*.py test_arrow.py 2>/dev/null)
"$venv/bin/python" -P -m pytest -q $files
