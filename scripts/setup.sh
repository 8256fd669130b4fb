#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are
# missing and we run as root. Safe to run again; installs nothing when all
# are present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev python3 xz-utils unzip tar gzip
  sleuthkit              # independent reading of the test images
  qemu-utils             # VMDK test disks
  g++-mingw-w64-x86-64-posix wine64   # the Windows build and its tests
  clang libclang-rt-14-dev            # fuzz targets
)
# Tools used only to make fixture images again.
if [[ "${1:-}" == "--fixtures" ]]; then
  packages+=(ntfs-3g attr fdisk gdisk dosfstools faketime)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "missing packages (run as root to install): ${missing[*]}" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
