#!/usr/bin/env bash
# Makes (once) a Debian bookworm root of an ARM architecture (armhf, arm64)
# under build/roots/, able to run through qemu's user-mode emulation, and
# prints its path. It holds what building and testing hostprobe there needs.
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:?usage: tools/debian-root.sh armhf|arm64}
case $arch in
  armhf) qemu_format=qemu-arm ;;
  arm64) qemu_format=qemu-aarch64 ;;
  *) echo "tools/debian-root.sh: unknown architecture $arch (armhf or arm64)" >&2; exit 2 ;;
esac

missing=()
for package in mmdebstrap qemu-user-static binfmt-support; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
  apt-get update >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}" >&2
fi
# A container may start without binfmt_misc mounted, and a package's
# formats stay disabled until asked for.
mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
[[ $(head -1 "/proc/sys/fs/binfmt_misc/$qemu_format" 2>/dev/null) == enabled ]] || update-binfmts --enable "$qemu_format" >&2

root=$PWD/build/roots/$arch
# mount: unshare's private mount namespaces inside the root; procps: ps;
# iproute2: ss; python3-yaml: the exporter's web configuration, which PyPI has
# no armhf wheel of; openssl: the tests' throwaway certificates.
packages=python3-dev,python3-venv,python3-yaml,g++,libgtest-dev,mount,procps,iproute2,ca-certificates,openssl
# A root is made anew when the packages it should hold change.
if [[ $(cat "$root/.complete" 2>/dev/null) != "$packages" ]]; then
  rm -rf "$root"
  mkdir -p "$(dirname "$root")"
  mmdebstrap --variant=apt --architectures="$arch" --include="$packages" bookworm "$root" \
    http://deb.debian.org/debian >&2
  echo "$packages" >"$root/.complete"
fi
echo "$root"
