#!/usr/bin/env bash
# Cross-builds the Windows binary with MinGW-w64.
#   scripts/build_windows.sh [BUILD_DIR]        (default: build-win)
# Extra CMake settings can be passed in BRELVIK_CMAKE_ARGS. Prints the path
# of brelvik.exe on its last line.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-build-win}
[[ "$build_dir" = /* ]] || build_dir="$root/$build_dir"

if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null && ! command -v x86_64-w64-mingw32-g++ >/dev/null; then
  echo "build_windows.sh: no MinGW-w64 C++ compiler; install g++-mingw-w64-x86-64-posix" >&2
  exit 2
fi

generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
# A build tree configured earlier keeps its generator.
[[ -f "$build_dir/CMakeCache.txt" ]] && generator=()

# shellcheck disable=SC2086
cmake -S "$root" -B "$build_dir" "${generator[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DBRELVIK_WERROR=ON \
  ${BRELVIK_CMAKE_ARGS:-} >/dev/null
cmake --build "$build_dir" --target brelvik brelvik_platform_check -j "$(nproc 2>/dev/null || echo 2)"

exe="$build_dir/brelvik.exe"
[[ -f "$exe" ]] || { echo "build_windows.sh: $exe was not produced" >&2; exit 1; }
echo "$exe"
