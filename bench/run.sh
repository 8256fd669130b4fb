#!/usr/bin/env bash
# Times a whole-volume recursive listing on a generated image of SIZE files,
# side by side in one run: brelvik's text table, CSV, path list, text
# table with -deleted, and its text table of the same volume held in an E01
# image, against The Sleuth Kit's `fls -r -p` and ntfs-3g's `ntfsls -R -l`.
# Every output goes to /dev/null, standard error to a file of its own (as
# when an examiner redirects the listing and watches the console). Prints
# wall seconds, the ratio to fls, microseconds per listed entry and the
# peak resident memory of each, from /usr/bin/time -v, and the ratios of
# -deleted and of the E01 listing to the plain text table.
#
#   bench/run.sh 200000                 # image made (once) by bench/make_volume.py
#   RUNS=5 bench/run.sh 20000           # best of 5 runs of each command
#   BRELVIK=/path/to/brelvik bench/run.sh 200000
#
# Each command runs RUNS times (default 3) after one warm-up that puts the
# image in the page cache; the median wall time and the largest peak memory
# are shown.
set -euo pipefail

size=${1:?usage: bench/run.sh SIZE [IMAGE]}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
runs=${RUNS:-3}
brelvik=${BRELVIK:-$root/build/brelvik}

for tool in /usr/bin/time fls ntfsls ewfacquire; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing (packages time, sleuthkit, ntfs-3g, ewf-tools)" >&2; exit 1; }
done
[[ -x $brelvik ]] || { echo "run.sh: $brelvik is not built (cmake --build build)" >&2; exit 1; }

image=${2:-$(python3 "$here/make_volume.py" "$size")}
# The same volume as an E01 image (EnCase 6 layout, deflate best, one
# segment), made once with ewfacquire and cached beside the raw image.
ewf=${image%.*}-best.E01
if [[ ! -f $ewf ]]; then
  echo "run.sh: acquiring $ewf" >&2
  ewfacquire -u -q -t "${ewf%.E01}.part" -f encase6 -c best -S 1TiB "$image" >/dev/null
  mv "${ewf%.E01}.part.E01" "$ewf"
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Entries listed: one path per row of the path list.
entries=$("$brelvik" '\' -image "$image" -level -2 -filepath_only -quiet 2>/dev/null | wc -l)

# measure NAME CMD...: runs the command RUNS+1 times, keeps the median wall
# time and the largest "Maximum resident set size" of the counted runs.
declare -A wall rss
names=()
measure() {
  local name=$1; shift
  local times=() peak=0 i
  "$@" >/dev/null 2>"$work/err" || true
  for ((i = 0; i < runs; i++)); do
    # Wall time from the nanosecond clock (time -v rounds to 10 ms).
    local start end e r
    start=$(date +%s%N)
    /usr/bin/time -v -o "$work/t" "$@" >/dev/null 2>"$work/err" || true
    end=$(date +%s%N)
    e=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", (b - a) / 1e9 }')
    r=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/t")
    times+=("$e")
    ((r > peak)) && peak=$r
  done
  wall[$name]=$(printf '%s\n' "${times[@]}" | sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}')
  rss[$name]=$peak
  names+=("$name")
}

measure "brelvik text" "$brelvik" '\' -image "$image" -level -2 -quiet
measure "brelvik csv" "$brelvik" '\' -image "$image" -level -2 -csv -quiet
measure "brelvik paths" "$brelvik" '\' -image "$image" -level -2 -filepath_only -quiet
measure "brelvik -deleted" "$brelvik" '\' -image "$image" -level -2 -deleted -quiet
measure "brelvik E01 text" "$brelvik" '\' -image "$ewf" -level -2 -quiet
measure "fls -r -p" fls -r -p "$image"
measure "ntfsls -R -l" ntfsls -R -l -f "$image"

echo "image: $image ($size files, $entries entries listed), median of $runs runs"
printf '%-16s %10s %10s %12s %12s\n' command "wall s" "/ fls" "us/entry" "peak MB"
for n in "${names[@]}"; do
  awk -v n="$n" -v w="${wall[$n]}" -v f="${wall[fls -r -p]}" -v r="${rss[$n]}" -v e="$entries" 'BEGIN {
    printf "%-16s %10.3f %10.3f %12.2f %12.1f\n", n, w, (f > 0 ? w / f : 0), (e > 0 ? w * 1e6 / e : 0), r / 1024 }'
done
# What -deleted adds (the MFT pass, index slack, deleted folders) against
# the same text table without it.
awk -v d="${wall[brelvik -deleted]}" -v t="${wall[brelvik text]}" 'BEGIN {
  printf "brelvik -deleted / brelvik text: %.3f\n", (t > 0 ? d / t : 0) }'
awk -v e="${wall[brelvik E01 text]}" -v r="${wall[brelvik text]}" 'BEGIN {
  printf "E01 (deflate best) / raw, text table: %.2f (target: at most 1.5)\n", (r > 0 ? e / r : 0) }'
