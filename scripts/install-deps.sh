#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need, if any is missing.
# Safe to run again: it does nothing when everything is present.
set -euo pipefail

packages=(cmake ninja-build g++ clang-format googletest mingw-w64 wine64)
# The Python and C# bindings' tests: Debian's pytest and Mono.
packages+=(python3-pytest mono-mcs mono-runtime)
# The Python wheels (python3-build with the hatchling backend, offline), the venv the
# tests install the wheel into, and mypy for the type hints.
packages+=(python3-build python3-hatchling python3-venv mypy)
# The .NET package: Debian's nuget packs it and installs it into the test project.
packages+=(nuget)
# llvm-dlltool makes MERLOX.lib; Python runs the merloxctl tests.
packages+=(llvm python3)
# merloxctl: command lines with CLI11, JSON with nlohmann-json (header-only, both builds).
packages+=(libcli11-dev nlohmann-json3-dev)
# merloxd: its configuration with toml++ (header-only).
packages+=(libtomlplusplus-dev)
# merloxd's HTTP endpoint: Boost.Beast over Boost.Asio (header-only, both builds). Its
# tests scrape it with a real Prometheus (which brings promtool) and load the status
# page in headless Chromium.
packages+=(libboost-dev prometheus chromium)
# The performance benchmark (scripts/bench.sh): Google Benchmark, valgrind and strace for
# its instruction and system-call counts.
packages+=(libbenchmark-dev valgrind strace)
# The hostile-card fuzzer: clang and its runtime libraries (libFuzzer, ASan).
packages+=(clang-14 libclang-rt-14-dev)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q </dev/null
# With the recommended packages, as the suite is tested: Wine in particular relies on
# several of them.
$sudo apt-get install -y -q "${missing[@]}" </dev/null
