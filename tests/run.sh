#!/usr/bin/env bash
# Installs what the tests need, checks the formatting of the C++ and Python
# files, then builds and runs every test: the C++ tests (plain, under
# AddressSanitizer with UndefinedBehaviorSanitizer, and the engine's under
# ThreadSanitizer), a short run of every fuzz target, the wheels of the four
# architectures and the audit of their stable ABI, the Python tests of the
# x86_64 wheel on every CPython from 3.10 on, the C++ tests built for the
# ARMv6 boards on an emulated ARM1176, and the C++ and Python tests in
# emulated armhf and arm64 Debian roots.
set -euo pipefail
cd "$(dirname "$0")/.."

# The Prometheus server that the exporter's integration test scrapes into and
# the node exporter that serves its textfile, neither with what it
# recommends; llvm-14's disassembler for the armv6l wheel's instructions;
# qemu and mmdebstrap for the ARM roots, installed here because the two
# roots are made side by side and their own installs would contend for
# dpkg's lock.
missing=() missing_server=()
for package in libgtest-dev g++ clang clang-format libclang-rt-14-dev llvm-14 python3-dev python3-venv mmdebstrap \
  qemu-user-static binfmt-support; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
dpkg -s prometheus >/dev/null 2>&1 || missing_server+=(prometheus)
dpkg -s prometheus-node-exporter >/dev/null 2>&1 || missing_server+=(prometheus-node-exporter)
if ((${#missing[@]} + ${#missing_server[@]})); then
  apt-get update
  ((${#missing[@]} == 0)) || DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
  ((${#missing_server[@]} == 0)) || DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing_server[@]}"
fi
# Debian enables a package's service at boot when it installs it; the tests
# start what they need themselves.
for service in prometheus prometheus-node-exporter binfmt-support; do
  [[ " ${missing[*]} ${missing_server[*]} " != *" $service "* ]] || systemctl disable --quiet "$service.service"
done
# Build, audit and format tools in a venv of their own, made from the
# system's python3 as a newcomer has it, not from pyenv's: python3 is the
# venv's from here on, so the wheels' tools and the x86_64 wheel's headers
# come from the system's Python too.
[[ -x build/test-tools/bin/python ]] || /usr/bin/python3 -m venv build/test-tools
build/test-tools/bin/python -m pip install --quiet cmake ninja abi3audit 'ruff>=0.17,<0.18'
export PATH=$PWD/build/test-tools/bin:$PATH

echo "== formatting: clang-format on the C++ files, ruff on the Python files"
git ls-files -z '*.cpp' '*.hpp' '*.c' '*.h' | xargs -0 -r clang-format --dry-run -Werror
ruff format --check .
ruff check .

# Making a root means minutes of package scripts run under emulation: both
# are made while the host's tests run.
roots_log=$(mktemp -d) venvs=
# A root left half made is made anew next time. Each is made in a process
# group of its own, which the kill ends whole: mmdebstrap and the package
# scripts it runs too.
trap 'kill -- $(jobs -p | sed "s/^/-/") 2>/dev/null || true; rm -rf "$roots_log" $venvs' EXIT
declare -A root_job
for arch in armhf arm64; do
  setsid tools/debian-root.sh "$arch" >"$roots_log/$arch" 2>&1 &
  root_job[$arch]=$!
done

cxx_tests() {
  local dir=$1 flags=$2
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOSTPROBE_BUILD_MODULE=OFF \
    -DHOSTPROBE_BUILD_TESTS=ON -DCMAKE_CXX_FLAGS="$flags" >/dev/null
  cmake --build "$dir" >/dev/null
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
# The sampler's firmware tool starts in a child that shares this process's
# memory until exec, which ThreadSanitizer takes for a fork of a threaded
# process: a worker thread started meanwhile would end the run.
TSAN_OPTIONS=die_after_fork=0 setarch "$(uname -m)" -R build/tests-tsan/engine_test

echo "== fuzz targets, a few seconds each"
bash tests/fuzz/run.sh 4

wheels() {
  bash tools/build-wheels.sh "$@"
  for architecture in "$@"; do
    local report
    report=$(mktemp)
    abi3audit --strict --summary --report -o "$report" dist/hostprobe-*_"$architecture".whl
    # An audit that found no extension would pass as well.
    python3 -c 'import json, sys; report = json.load(open(sys.argv[1])); names = [so["name"] for spec in report["specs"].values() for so in spec["wheel"]]; assert sorted(names) == ["_native.abi3.so", "hostprobe.abi3.so"], names' "$report"
    rm "$report"
  done
}

echo "== the x86_64 wheel"
wheels x86_64

echo "== Python tests: the one wheel in a venv of every CPython from 3.10 on"
# pyenv keeps several CPythons on the development machines and CI; each gets
# the same stable-ABI wheel, the system's python3 standing for its own
# version. Elsewhere the suite runs on python3 alone.
candidates=("$(command -v python3)")
if command -v pyenv >/dev/null; then
  candidates+=("$(pyenv root)"/versions/*/bin/python3)
fi
declare -A interpreter_of
for python in "${candidates[@]}"; do
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2]) if sys.version_info >= (3, 10) else None' \
    2>/dev/null) || continue
  [[ -n $version && -z ${interpreter_of[$version]:-} ]] && interpreter_of[$version]=$python
done
if command -v pyenv >/dev/null && ((${#interpreter_of[@]} < 4)); then
  echo "only ${!interpreter_of[*]} of CPython 3.10 to 3.13 found through pyenv" >&2
  exit 1
fi
venvs=$(mktemp -d)
wheel=$(echo dist/hostprobe-*_x86_64.whl)
for version in $(printf '%s\n' "${!interpreter_of[@]}" | sort -V); do
  echo "-- CPython $version"
  venv="$venvs/$version"
  "${interpreter_of[$version]}" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet "$wheel[test,exporter]"
  PATH="$venv/bin:$PATH" "$venv/bin/python" -m pytest tests/python -q -p no:cacheprovider
done

echo "== the ARM wheels, whose headers come from the roots"
for arch in armhf arm64; do
  wait "${root_job[$arch]}" || { cat "$roots_log/$arch" >&2; exit 1; }
done
wheels aarch64 armv7l armv6l

echo "== C++ tests on the ARM1176 of the ARMv6 boards, emulated"
bash tests/armv6.sh

echo "== C++ and Python tests on ARM, emulated"
bash tests/emulated.sh armhf dist/hostprobe-*_armv7l.whl
bash tests/emulated.sh arm64 dist/hostprobe-*_aarch64.whl
