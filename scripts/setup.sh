#!/usr/bin/env bash
# Installs the Debian packages the project needs, when they are missing and
# we run as root, then checks that every command it needs is on PATH.
#
#   scripts/setup.sh            everything any build, test, benchmark or
#                               fixture script calls
#   scripts/setup.sh --build    only what building and running the tool needs
#
# Safe to run again; installs nothing when all are present. Exits nonzero,
# naming what is missing, when a package could not be installed or a
# command is still absent after installing.
set -euo pipefail

mode=all
case "${1:-}" in
  --build) mode=build ;;
  ""|--all|--fixtures) mode=all ;;   # --fixtures: older name of the full set
  *) echo "setup.sh: unknown argument $1 (use --build or nothing)" >&2; exit 2 ;;
esac

# Each entry is package:command[,command...]; the commands are what the
# scripts call, checked after installing (a package name alone proves
# nothing: Debian's wine64 has no launcher on PATH, the package wine has).
build_needs=(
  build-essential:g++,make
  cmake:cmake,ctest
  ninja-build:ninja
  xz-utils:xz
  zlib1g-dev:
)
test_needs=(
  libgtest-dev:
  python3:python3
  unzip:unzip
  tar:tar
  gzip:gunzip
  sleuthkit:fls,istat,mmls,fsstat,mactime      # independent reading of the test images
  qemu-utils:qemu-img,qemu-io                   # VMDK, VHD and VHDX test disks
  ewf-tools:ewfacquire,ewfexport,ewfinfo,ewfverify   # E01 test images
  g++-mingw-w64-x86-64-posix:x86_64-w64-mingw32-g++-posix   # the Windows build
  libz-mingw-w64-dev:
  wine:wine,wineserver                          # runs the Windows build in tests
  wine64:
  clang:clang,clang++                           # fuzz targets
  libclang-rt-14-dev:
  ntfs-3g:ntfs-3g,mkntfs,ntfsls                 # fixture images, mounted volumes, benchmark peer
  attr:setfattr,getfattr
  fdisk:sfdisk
  gdisk:sgdisk
  dosfstools:mkfs.fat
  faketime:faketime
  mount:losetup,mount
  time:                                         # /usr/bin/time in the benchmark
)

needs=("${build_needs[@]}")
[[ $mode == all ]] && needs+=("${test_needs[@]}")

package_of() { echo "${1%%:*}"; }
commands_of() { local c=${1#*:}; echo "${c//,/ }"; }

missing=()
for n in "${needs[@]}"; do
  p=$(package_of "$n")
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "setup.sh: missing packages (run as root to install): ${missing[*]}" >&2
    exit 1
  fi
  echo "setup.sh: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >&2
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

absent=()
for n in "${needs[@]}"; do
  p=$(package_of "$n")
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || absent+=("package $p")
  for c in $(commands_of "$n"); do
    command -v "$c" >/dev/null 2>&1 || absent+=("command $c (package $p)")
  done
done
if [[ $mode == all && ! -e /usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1 ]]; then
  absent+=("library libfaketime.so.1 (package faketime)")
fi
if [[ $mode == all && ! -x /usr/bin/time ]]; then absent+=("command /usr/bin/time (package time)"); fi
if ((${#absent[@]})); then
  echo "setup.sh: still missing after installing:" >&2
  printf '  %s\n' "${absent[@]}" >&2
  exit 1
fi
