#!/usr/bin/env bash
# Builds and runs every test: the normal build, the sanitizer build, and the
# Windows build under wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

echo "== build and test" >&2
"$root/scripts/build.sh" "$root/build"
(cd "$root/build" && ctest --output-on-failure --timeout 600)

echo "== address and undefined-behaviour sanitizers" >&2
"$root/scripts/build.sh" "$root/build-asan" -DBRELVIK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd "$root/build-asan" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure --timeout 900)

if [[ -x "$root/scripts/test_windows.sh" ]]; then
  echo "== Windows build under wine" >&2
  "$root/scripts/test_windows.sh" --build-dir "$root/build-win" --e2e "$root/build"
fi
