#!/usr/bin/env bash
# Installs the Python wheel into a fresh venv and runs the Python tests with it, as a
# user would: no PYTHONPATH, no MERLOX_LIBRARY, the library from inside the package.
# pip installs from the wheel alone (--no-index); pytest is Debian's, seen through
# the system site packages.
# Usage: run-python-tests.sh <python> <wheel> <venv directory> <tests directory>
set -euo pipefail
python=$1 wheel=$2 venv=$3 tests=$4

rm -rf "$venv"
"$python" -m venv --system-site-packages "$venv"
"$venv/bin/python" -m pip install --quiet --no-index --no-deps --disable-pip-version-check \
  "$wheel"
# Away from the source tree, so that nothing there can be imported instead.
cd "$venv"
exec env -u MERLOX_LIBRARY -u PYTHONPATH PYTHONDONTWRITEBYTECODE=1 MERLOX_EXPECT_VENV="$venv" \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider "$tests"
