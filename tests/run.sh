#!/usr/bin/env bash
# Installs what the tests need, then builds and runs every test: the C++
# tests (plain, under AddressSanitizer with UndefinedBehaviorSanitizer, and
# the engine's under ThreadSanitizer) and the Python tests of the installed
# module.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
for package in libgtest-dev g++; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi
# The Prometheus server that the exporter's integration test scrapes into,
# without the node exporter it recommends.
if ! dpkg -s prometheus >/dev/null 2>&1; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends prometheus
fi
python3 -m pip install --quiet cmake ninja
python3 -m pip install --quiet ".[test,exporter]"

cxx_tests() {
  local dir=$1 flags=$2
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOSTPROBE_BUILD_MODULE=OFF \
    -DHOSTPROBE_BUILD_TESTS=ON -DCMAKE_CXX_FLAGS="$flags" >/dev/null
  cmake --build "$dir"
}

echo "== C++ tests"
cxx_tests build/tests ""
ctest --test-dir build/tests --output-on-failure -j 2

echo "== C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cxx_tests build/tests-asan "-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
ctest --test-dir build/tests-asan --output-on-failure -j 2

echo "== engine tests under ThreadSanitizer"
cxx_tests build/tests-tsan "-fsanitize=thread"
# ThreadSanitizer needs the narrow address-space layout that ASLR may break.
setarch "$(uname -m)" -R build/tests-tsan/engine_tests

echo "== Python tests"
python3 -m pytest tests/python -q
