#!/usr/bin/env bash
# Builds and runs every test: the normal build, the sanitizer build, and the
# Windows build under wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# Every tool a test calls must be here: setup.sh installs them or stops,
# naming what is missing, and a test that finds a tool absent fails
# instead of skipping.
"$root/scripts/setup.sh"
export BRELVIK_REQUIRE_TOOLS=1

echo "== build and test" >&2
"$root/scripts/build.sh" "$root/build" -DBRELVIK_TESTS=ON
(cd "$root/build" && ctest --output-on-failure --timeout 600)

echo "== address and undefined-behaviour sanitizers" >&2
"$root/scripts/build.sh" "$root/build-asan" -DBRELVIK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DBRELVIK_TESTS=ON
(cd "$root/build-asan" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure --timeout 900)

if [[ -x "$root/scripts/test_windows.sh" ]]; then
  echo "== Windows build under wine" >&2
  "$root/scripts/test_windows.sh" --build-dir "$root/build-win" --e2e "$root/build"
fi
