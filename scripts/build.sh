#!/usr/bin/env bash
# Configures and builds the three trees: host with AddressSanitizer+UBSan, host with
# ThreadSanitizer, and the Windows cross build (MERLOX.dll and its Wine tests).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${MERLOX_JOBS:-$(nproc)}

configure() {
  local dir=$1
  shift
  [ -f "$dir/build.ninja" ] || cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug "$@" >/dev/null
}

configure build/host-asan -DMERLOX_SANITIZER=address
configure build/host-tsan -DMERLOX_SANITIZER=thread
configure build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release
# Without sanitizers: libmerlox.so for the language bindings and their tests only.
configure build/host -DMERLOX_SANITIZER=none
# The performance benchmark builds there too, so that the suite keeps it compiling and
# gives it one quick smoke run (scripts/bench.sh measures in its own Release tree).
cmake build/host -DMERLOX_BENCHMARKS=ON >/dev/null
# The hostile-card fuzzer: libFuzzer comes with clang.
configure build/fuzz -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DMERLOX_SANITIZER=address -DMERLOX_FUZZ=ON

for dir in build/host-asan build/host-tsan build/windows; do
  echo "== building $dir"
  ninja -C "$dir" -j "$jobs"
done

echo "== building the release zip (build/windows/MERLOX-<version>-win64.zip)"
ninja -C build/windows package >/dev/null

echo "== building build/host (the bindings' shared library, the benchmarks, the programs the monitoring tests run)"
ninja -C build/host -j "$jobs" bindings merlox_bench merloxd_metrics_bench merloxd merloxsim merloxctl

echo "== building build/fuzz (the hostile-card fuzzer)"
ninja -C build/fuzz -j "$jobs"
