#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds every tree, and runs the
# host tests under both sanitizers and the Windows tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build.sh

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1}

status=0
for dir in build/host-asan build/host-tsan build/windows; do
  echo "== testing $dir"
  (cd "$dir" && ctest --output-on-failure --no-tests=error) || status=1
done
echo "== testing build/host (the bindings, the benchmark's smoke run)"
(cd build/host && ctest --output-on-failure --no-tests=error -L 'bindings|benchmark') || status=1
echo "== testing build/fuzz (the corpus, then 30 s of fuzzing)"
(cd build/fuzz && ctest --output-on-failure --no-tests=error -L fuzz) || status=1
exit $status
