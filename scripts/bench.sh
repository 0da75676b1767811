#!/usr/bin/env bash
# The performance benchmark: configures and builds build/bench (Release, no
# sanitizer, MERLOX_BENCHMARKS=ON), runs merlox_bench against the simulated driver and
# the Python binding's benchmark against libmerlox.so, then counts instructions per operation with valgrind's callgrind, where times on a
# shared machine are too noisy to trust. Every figure is printed beside its goal.
# Arguments go to merlox_bench (Google Benchmark flags, or --quick for a short run).
# MERLOX_BENCH_CALLGRIND=0 skips the instruction counts.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${MERLOX_JOBS:-$(nproc)}
dir=build/bench
[ -f "$dir/build.ninja" ] || cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DMERLOX_SANITIZER=none -DMERLOX_BENCHMARKS=ON >/dev/null
ninja -C "$dir" -j "$jobs" merlox_bench merlox_shared merloxd merloxsim merloxd_metrics_bench

"$dir/merlox_bench" "$@"

# merloxd's monitoring endpoint: /metrics with 32 cards and ten checks, and the feeds
# while it is scraped (bench/MetricsBench.cpp).
echo
quick=""
for argument in "$@"; do [ "$argument" = --quick ] && quick=--quick; done
"$dir/merloxd_metrics_bench" $quick

# The Python binding: a typed call against a bare ctypes call, and the latency from an
# input change to the event pump's consumer (bench/python_bench.py).
echo
MERLOX_LIBRARY="$dir/libmerlox.so" PYTHONPATH=bindings/python PYTHONDONTWRITEBYTECODE=1 \
  /usr/bin/python3 bench/python_bench.py $quick

# merloxd: the lateness of its feeds with both cores busy, its CPU time and memory
# (bench/merloxd_bench.py).
echo
/usr/bin/python3 bench/merloxd_bench.py "$dir" $quick

# Figure 6 on Windows, under Wine, when the Windows tree is there (scripts/build.sh).
if [ -f build/windows/build.ninja ]; then
  echo
  ninja -C build/windows -j "$jobs" merlox_wine_roundtrip >/dev/null
  scripts/wine-run.sh build/windows/merlox_wine_roundtrip.exe $quick
fi

[ "${MERLOX_BENCH_CALLGRIND:-1}" = 0 ] && exit 0
if ! command -v valgrind >/dev/null; then
  echo "valgrind not found: no instruction counts"
  exit 0
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out/cg.%p" \
  "$dir/merlox_bench" --instructions >/dev/null 2>"$out/valgrind.log" ||
  { cat "$out/valgrind.log"; exit 1; }

# One dump per measured loop: its name ("desc: Trigger: Client Request: OP/KIND/CALLS")
# and its instruction total.
for file in "$out"/cg.*; do
  name=$(sed -n 's/^desc: Trigger: Client Request: //p' "$file")
  total=$(sed -n 's/^totals: //p;s/^summary: //p' "$file" | head -1)
  [ -n "$name" ] && [ -n "$total" ] && echo "$name $total"
done | sort >"$out/totals"

echo
echo "== Instructions per call under callgrind (independent of the machine's load)"
awk '
  { split($1, part, "/"); per = $2 / part[3]
    if (part[2] == "library") lib[part[1]] = per
    else if (part[2] == "raw") raw[part[1]] = per
    else other[part[1] "/" part[2]] = per }
  END {
    printf "%-22s %12s %12s %12s\n", "operation", "call", "raw", "overhead"
    for (op in lib) printf "%-22s %12.0f %12.0f %12.0f\n", op, lib[op], raw[op], lib[op] - raw[op]
    for (name in other) printf "%-22s %12.0f (a whole discovery)\n", name, other[name]
  }' "$out/totals"

# The same loops once more under strace: every host system call, start-up included.
# The simulated driver serves requests inside the process, so whatever the library
# itself adds to a request would show here.
if command -v strace >/dev/null; then
  loops=$("$dir/merlox_bench" --instructions)
  strace -f -c -o "$out/strace" "$dir/merlox_bench" --instructions >/dev/null
  syscalls=$(awk '$NF == "total" { print $4 }' "$out/strace")
  echo
  echo "== Host system calls: $syscalls in all, start-up included, for $loops"
  echo "   (goal: none per operation besides its one driver request)"
fi
