#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number
# of seconds (default 60), one after another: one fuzzer process at a time.
# New inputs go to a scratch corpus beside the build (the committed corpus
# stays as it is); crash, leak and timeout reproducers are saved under
# tests/fuzz/crashes/<target>/, where the replay test picks them up.
#
#   tests/fuzz/run_fuzzers.sh [seconds] [target...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
seconds=${1:-60}
shift || true
build=${BRELVIK_FUZZ_BUILD:-$root/build-fuzz}
all=(volume entry attribute runlist index_node directory paths listing partitions vmdk vhd vhdx ewf inflate)
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=("${all[@]}")

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DBRELVIK_FUZZ=ON -DBRELVIK_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j1 --target $(printf 'fuzz_%s ' "${targets[@]}")

for t in "${targets[@]}"; do
  work="$build/corpus/$t"
  crashes="$here/crashes/$t"
  mkdir -p "$work" "$crashes"
  echo "== fuzz_$t for ${seconds}s" >&2
  # -timeout: an input taking this long is a hang; -rss_limit_mb bounds
  # what a crafted size may make the reader allocate.
  (cd "$build" && "./tests/fuzz/fuzz_$t" "$work" "$here/corpus/$t" \
     -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=1024 \
     -max_len=262144 -print_final_stats=1 -artifact_prefix="$crashes/" 2>"$build/fuzz_$t.log") || true
  grep -E "^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)|^(==[0-9]+==ERROR|SUMMARY)" \
    "$build/fuzz_$t.log" >&2 || true
done
# Artifacts other than crash-, leak-, timeout- and oom- files are not kept.
find "$here/crashes" -type d -empty -delete 2>/dev/null || true
