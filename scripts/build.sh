#!/usr/bin/env bash
# Configures and builds one build tree: scripts/build.sh [DIR] [cmake args...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build}
shift || true
cmake -S "$root" -B "$dir" -G Ninja -DBRELVIK_WERROR=ON "$@" >/dev/null
cmake --build "$dir" --parallel
