#!/usr/bin/env bash
# Runs the C++ tests built for the ARM1176 of the Raspberry Pi 1, Zero and
# Zero W on qemu's model of that CPU, which stops at any instruction of a
# later architecture. zig cannot link glibc statically: they link musl. zig
# comes from build/wheel-tools, which tools/build-wheels.sh makes.
set -euo pipefail
cd "$(dirname "$0")/.."
zig=$(build/wheel-tools/bin/python -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')

build=build/tests-armv6
mkdir -p "$build"
for tool in cc c++; do
  printf '#!/bin/sh\nexec "%s" %s -target arm-linux-musleabihf -mcpu=arm1176jzf_s "$@"\n' "$zig" "$tool" >"$build/$tool"
  chmod +x "$build/$tool"
done
# The host's GoogleTest is x86-64's: Debian's sources are built instead.
CC=$PWD/$build/cc CXX=$PWD/$build/c++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=armv6l -DCMAKE_EXE_LINKER_FLAGS=-static \
  -DCMAKE_CROSSCOMPILING_EMULATOR='qemu-arm-static;-cpu;arm1176' -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
  -DHOSTPROBE_BUILD_MODULE=OFF -DHOSTPROBE_BUILD_TESTS=ON >/dev/null
cmake --build "$build" >/dev/null
ctest --test-dir "$build" --output-on-failure -j 2
