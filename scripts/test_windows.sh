#!/usr/bin/env bash
# Builds the Windows binary and checks it under wine.
#
#   scripts/test_windows.sh [--build-dir DIR] [--e2e NATIVE_BUILD_DIR] [--install-deps]
#
#   --build-dir DIR   Windows build tree (default: build-win)
#   --e2e DIR         also run every tests/e2e/test_*.py against brelvik.exe,
#                     with the fixtures of the native build tree DIR (they are
#                     unpacked there first when missing)
#   --install-deps    install every test package first (scripts/setup.sh)
#
# Runs without a display or any prompt: the wine prefix lives inside the
# build tree (WINEPREFIX overrides it), the Mono and Gecko installers are
# switched off and wine's debug output is silenced.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=build-win
native_dir=
install_deps=0

while [[ $# -gt 0 ]]; do
  case "$1" in
    --build-dir) build_dir=$2; shift 2 ;;
    --e2e) native_dir=$2; shift 2 ;;
    --install-deps) install_deps=1; shift ;;
    -h|--help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "test_windows.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
[[ "$build_dir" = /* ]] || build_dir="$root/$build_dir"
if [[ -n "$native_dir" && "$native_dir" != /* ]]; then native_dir="$root/$native_dir"; fi

if [[ $install_deps == 1 ]]; then
  "$root/scripts/setup.sh"
fi

exe=$("$root/scripts/build_windows.sh" "$build_dir" | tail -n 1)

# ------------------------------------------------------------------ wine
wine_bin=$(command -v wine || true)
if [[ -z "$wine_bin" ]]; then
  echo "test_windows.sh: wine is not installed (scripts/setup.sh installs it)" >&2
  exit 2
fi
export WINEPREFIX=${WINEPREFIX:-$build_dir/wineprefix}
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  echo "setting up wine prefix $WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  timeout -k 10 300 "$wine_bin" wineboot --init >/dev/null 2>&1 || true
fi

# ------------------------------------------------------------------ help run
# The help run prints the usage text on standard error and exits with 0. The
# text looked for is the usage text's "Usage:" line once the sources carry it,
# else the program name that any help output names.
help_marker() {
  if grep -rqsF --include='*.cpp' --include='*.hpp' '"Usage:' "$root/cli"; then
    echo "Usage:"
  else
    echo "brelvik"
  fi
}
marker=${BRELVIK_HELP_MARKER:-$(help_marker)}

# A hung wine process must not stall a CI run.
run_wine() { timeout -k 10 300 "$wine_bin" "$@"; }

passed=0 failed=0
pass() { echo "PASS $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1"; failed=$((failed + 1)); }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for flag in -h /? --help; do
  rc=0
  run_wine "$exe" "$flag" >"$tmp/out" 2>"$tmp/err" </dev/null || rc=$?
  if [[ $rc -ne 0 ]]; then
    fail "brelvik.exe $flag exits with $rc, not 0"
  elif ! grep -qF -- "$marker" "$tmp/err"; then
    fail "brelvik.exe $flag: \"$marker\" missing from standard error"
    sed 's/^/    /' "$tmp/err" | head -20
  elif grep -qF -- "$marker" "$tmp/out"; then
    fail "brelvik.exe $flag: \"$marker\" on standard output"
  else
    pass "brelvik.exe $flag prints \"$marker\" on standard error, exit 0"
  fi
done

# ------------------------------------------------------------------ platform layer
# Run from a scratch folder: the check creates and removes a file there.
rc=0
(cd "$tmp" && run_wine "$(dirname "$exe")/brelvik_platform_check.exe" </dev/null >"$tmp/check.log" 2>&1) || rc=$?
if [[ $rc -eq 0 ]]; then
  pass "platform layer checks ($(grep -c '^ok' "$tmp/check.log") ok)"
else
  fail "platform layer checks (exit $rc)"
  grep -v '^ok' "$tmp/check.log" | sed 's/^/    /'
fi

# ------------------------------------------------------------------ e2e
if [[ -n "$native_dir" ]]; then
  # Unpacking is idempotent; images it cannot unpack make their tests skip.
  bash "$root/tests/fixtures/unpack.sh" "$root/tests/fixtures/images" "$native_dir/fixtures" \
    "$root/../shared/testdata" "$native_dir/testdata" ||
    echo "test_windows.sh: warning: some images could not be unpacked" >&2
  export BRELVIK_BIN=$exe
  export BRELVIK_RUNNER=$wine_bin
  export BRELVIK_FIXTURE_DIR=$native_dir/fixtures
  export BRELVIK_TESTDATA_DIR=$native_dir/testdata
  export BRELVIK_SOURCE_DIR=$root
  shopt -s nullglob
  for t in "$root"/tests/e2e/test_*.py; do
    name=$(basename "$t" .py)
    if python3 "$t" >"$tmp/$name.log" 2>&1; then
      pass "e2e $name"
    else
      fail "e2e $name"
      tail -n 30 "$tmp/$name.log" | sed 's/^/    /'
    fi
  done
fi

# Let this prefix's wine server finish before the build tree is used again.
wineserver -w 2>/dev/null || true

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
