#!/usr/bin/env bash
# Runs the C++ tests, built there by the root's own g++, and the Python tests
# of a wheel in a Debian root of an ARM architecture (armhf, arm64) under
# qemu's user-mode emulation. The kernel is the host's; the fake machines
# of the Python tests stand in for a board's files and tools as on the host.
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:?usage: tests/emulated.sh armhf|arm64 WHEEL}
wheel=$(realpath "${2:?usage: tests/emulated.sh armhf|arm64 WHEEL}")
root=$(tools/debian-root.sh "$arch")

rm -rf "$root/hostprobe"
mkdir "$root/hostprobe"
tar --exclude=./build --exclude=./dist --exclude=./.git -cf - . | tar -xf - -C "$root/hostprobe"
cp "$wheel" "$root/hostprobe/"
# The host's name service and certificate authorities, so that pip inside
# reaches PyPI as it does outside.
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"

inside=$(cat <<INSIDE
set -euo pipefail
cd /hostprobe
export PATH=/venv/bin:\$PATH
rm -rf /venv /build-tests
# PyPI has no armhf wheel of PyYAML: the venv sees Debian's.
python3 -m venv --system-site-packages /venv
# The stubs type-check the same on every architecture, and mypy's runtime
# library has no 32-bit ARM wheel to install: mypy runs on the host only.
pip install --quiet cmake ninja pytest prometheus_client "./$(basename "$wheel")[exporter]"
cmake -S . -B /build-tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOSTPROBE_BUILD_MODULE=OFF \
  -DHOSTPROBE_BUILD_TESTS=ON >/dev/null
cmake --build /build-tests >/dev/null
ctest --test-dir /build-tests --output-on-failure -j 2
python -m pytest tests/python -q -p no:cacheprovider -rs --durations=8
INSIDE
)
# The mounts live in a mount namespace of their own and end with it. The root
# is bind-mounted onto itself so that it is a mount point: unshare's private
# propagation inside it fails on a plain directory.
unshare -m bash -euo pipefail -c '
  root=$1
  mount --bind "$root" "$root"
  for dir in proc sys dev; do mount --rbind "/$dir" "$root/$dir"; done
  exec chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    PIP_CERT=/etc/ssl/certs/ca-certificates.crt EMULATOR=qemu-user bash -c "$2"
' unshare "$root" "$inside"
