#!/usr/bin/env bash
# Times whole-volume recursive listings on generated images of several tree
# shapes and sizes, brelvik's in every layout against The Sleuth Kit's
# `fls -r -p` and ntfs-3g's `ntfsls -R -l -a -s`, and prints a table per
# image.
#
#   bench/run.sh                              # the default set below
#   bench/run.sh mixed:200000 uniform100:200000 grid40x50x100:200000
#   SETS="mixed:20000 mixed:2000000" bench/run.sh
#   bench/run.sh 200000                       # a bare size is the mixed shape
#   RUNS=3 BRELVIK=/path/to/brelvik bench/run.sh mixed:200000
#
# A set is SHAPE:SIZE, SHAPE one of mixed, uniformK (every folder holds K
# entries) and gridAxBxC (A folders of B folders of C files, long names);
# see bench/make_volume.py, which makes each image once and caches it. The
# 2,000,000-file images take 6 to 8 minutes each to make and 3 GB of disk.
#
# Timing is by paired rounds: after one untimed warm-up round that puts the
# image in the page cache, each of RUNS rounds (default 5) runs every
# brelvik layout and both peers back to back, in reverse order every other
# round, so that the machine's drift touches all of them alike. The table
# gives the median wall time of each command, the median over the rounds
# of its ratio to each peer in the same round, microseconds per listed
# entry and the largest peak resident
# memory (/usr/bin/time -v), each marked against its target. Outputs go to
# /dev/null and standard error to a file, as when an examiner redirects the
# listing and watches the console.
#
# On mixed:200000 two more commands join the rounds: the text table with
# -deleted and the text table of the same volume held in an E01 image
# (deflate best, made once with ewfacquire beside the raw image). Last, for
# each shape run at more than one size, the text table's microseconds per
# entry across the sizes (the "flat" check).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
runs=${RUNS:-5}
brelvik=${BRELVIK:-$root/build/brelvik}
default_sets=(mixed:20000 mixed:200000 uniform10:200000 uniform100:200000 uniform1000:200000
  uniform10000:200000 grid40x50x100:200000 uniform100:20000 mixed:2000000 uniform100:2000000)

# Targets: wall time against each peer, the text table's time per entry,
# peak memory (meant at 2,000,000 files; every size must stay under it),
# -deleted and E01 against the plain raw text table, and how far the text
# table's time per entry may grow from the smallest size to the largest.
max_fls=0.2 max_ntfsls=0.5 max_us=1.2 max_mb=64 max_deleted=1.3 max_e01=1.5 max_flat=1.2

for tool in /usr/bin/time fls ntfsls ewfacquire; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing (packages time, sleuthkit, ntfs-3g, ewf-tools)" >&2; exit 1; }
done
[[ -x $brelvik ]] || { echo "run.sh: $brelvik is not built (scripts/build.sh build)" >&2; exit 1; }

if (($#)); then
  sets=("$@")
elif [[ -n ${SETS:-} ]]; then
  read -ra sets <<<"$SETS"
else
  sets=("${default_sets[@]}")
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# brelvik's layouts: a row name and the options that make it.
layouts=(
  "text|"
  "paths|-filepath_only"
  "csv|-csv"
  "xml|-xml /dev/null"
  "body|-bodyfile"
  "l2t|-csvl2t"
)

# image_for SHAPE SIZE: the image's path, made first if it is not cached.
image_for() {
  local args
  case $1 in
    mixed) args=(--shape mixed) ;;
    uniform[0-9]*) args=(--shape uniform --folder-size "${1#uniform}") ;;
    grid[0-9]*x[0-9]*x[0-9]*) args=(--shape grid --grid "${1#grid}") ;;
    *) echo "run.sh: unknown shape $1 (mixed, uniformK, gridAxBxC)" >&2; return 1 ;;
  esac
  python3 "$here/make_volume.py" "$2" "${args[@]}"
}

# ewf_for IMAGE: the same volume as an E01 image (EnCase 6 layout, deflate
# best, one segment), made once with ewfacquire and cached beside it.
ewf_for() {
  local ewf=${1%.*}-best.E01
  if [[ ! -f $ewf ]]; then
    echo "run.sh: acquiring $ewf" >&2
    ewfacquire -u -q -t "${ewf%.E01}.part" -f encase6 -c best -S 1TiB "$1" >/dev/null
    mv "${ewf%.E01}.part.E01" "$ewf"
  fi
  echo "$ewf"
}

# argv_for NAME: sets argv to the command of a row.
argv_for() {
  local opts
  case $1 in
    "fls -r -p") argv=(fls -r -p "$image") ;;
    "ntfsls -R -l -a -s") argv=(ntfsls -R -l -a -s -f "$image") ;;
    "E01 text") argv=("$brelvik" '\' -image "$ewf" -level -2 -quiet) ;;
    "text -deleted") argv=("$brelvik" '\' -image "$image" -level -2 -deleted -quiet) ;;
    *) opts=${layout_opts[$1]}
       # shellcheck disable=SC2206 # the options split into words
       argv=("$brelvik" '\' -image "$image" -level -2 $opts -quiet) ;;
  esac
}

# round TIMED NAME...: runs each command once; when TIMED, appends its wall
# seconds (from the nanosecond clock: time -v rounds to 10 ms) to
# $work/N.times and its peak resident KB to $work/N.rss.
round() {
  local timed=$1 name f start end rc; shift
  for name in "$@"; do
    argv_for "$name"
    f=$work/${name//[ \/]/_}
    start=$(date +%s%N)
    rc=0
    /usr/bin/time -v -o "$f.t" "${argv[@]}" >/dev/null 2>"$f.err" || rc=$?
    end=$(date +%s%N)
    ((rc == 0)) || echo "$rc" >"$f.failed"
    if ((timed)); then
      echo $(((end - start) / 1000)) >>"$f.times"
      awk -F': ' '/Maximum resident set size/ {print $2}' "$f.t" >>"$f.rss"
    fi
  done
}

# median FILE: the median of the numbers in a file, one a line.
median() { sort -g "$1" | awk '{a[NR] = $1} END {print (NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2)}'; }
maximum() { sort -g "$1" | tail -1; }
# paired FILE NAME: the median over the rounds of the ratio of FILE's time
# to NAME's in the same round.
paired() {
  local peer=$work/${2//[ \/]/_}
  paste -d ' ' "$1.times" "$peer.times" | awk '{print $1 / $2}' >"$1.ratio"
  median "$1.ratio"
}

declare -A layout_opts
rows=()
for l in "${layouts[@]}"; do
  layout_opts[${l%%|*}]=${l#*|}
  rows+=("${l%%|*}")
done
: >"$work/flat"
started=$(date +%s)

for set in "${sets[@]}"; do
  [[ $set == *:* ]] || set=mixed:$set
  shape=${set%%:*} size=${set#*:}
  image=$(image_for "$shape" "$size")
  set_started=$(date +%s)
  names=("${rows[@]}")
  if [[ $shape == mixed && $size == 200000 ]]; then
    ewf=$(ewf_for "$image")
    names+=("text -deleted" "E01 text")
  fi
  names+=("fls -r -p" "ntfsls -R -l -a -s")
  reversed=()
  for ((i = ${#names[@]} - 1; i >= 0; i--)); do reversed+=("${names[i]}"); done
  rm -f "$work"/*.times "$work"/*.rss "$work"/*.failed

  # Entries listed: one path per row of the path list.
  entries=$("$brelvik" '\' -image "$image" -level -2 -filepath_only -quiet 2>/dev/null | wc -l)
  round 0 "${names[@]}"
  for ((r = 1; r <= runs; r++)); do
    if ((r % 2)); then round 1 "${names[@]}"; else round 1 "${reversed[@]}"; fi
  done

  # name|median us|peak KB|exit code of a failed run|median ratio to fls,
  # to ntfsls and to the text table, each taken round by round.
  for name in "${names[@]}"; do
    f=$work/${name//[ \/]/_}
    echo "$name|$(median "$f.times")|$(maximum "$f.rss")|$(cat "$f.failed" 2>/dev/null || true)|$(paired "$f" "fls -r -p")|$(paired "$f" "ntfsls -R -l -a -s")|$(paired "$f" text)"
  done >"$work/table"

  echo
  echo "== $shape, $size files: $image"
  echo "   $entries entries listed; median of $runs paired rounds; $(($(date +%s) - set_started)) s for the set"
  awk -F'|' -v e="$entries" -v mf="$max_fls" -v mn="$max_ntfsls" -v mu="$max_us" -v mm="$max_mb" \
      -v md="$max_deleted" -v me="$max_e01" -v shape="$shape" -v size="$size" -v flat="$work/flat" '
    function mark(v, limit) { return v <= limit ? "ok  " : "MISS" }
    { name[NR] = $1; w[$1] = $2 / 1e6; kb[$1] = $3; rc[$1] = $4; rf[$1] = $5; rn[$1] = $6; rt[$1] = $7 }
    END {
      printf "%-20s %8s %13s %13s %13s %12s\n", "command", "wall s", "/ fls", "/ ntfsls", "us/entry", "peak MB"
      for (i = 1; i <= NR; i++) {
        c = name[i]; us = w[c] * 1e6 / e; mb = kb[c] / 1024
        peer = (c ~ /^(fls|ntfsls) /)
        printf "%-20s %8.3f", c, w[c]
        if (peer) printf " %13s %13s", "", ""
        else printf " %8.3f %s %8.3f %s", rf[c], mark(rf[c], mf), rn[c], mark(rn[c], mn)
        if (c == "text") printf " %8.2f %s", us, mark(us, mu); else printf " %8.2f %4s", us, ""
        if (peer) printf " %7.1f\n", mb; else printf " %7.1f %s\n", mb, (mb < mm ? "ok" : "MISS")
        if (rc[c] != "") printf "  %s exited with %s at least once (its standard error is below)\n", c, rc[c]
      }
      if ("text -deleted" in w)
        printf "-deleted / text: %.3f %s (target <= %s)\n", rt["text -deleted"], mark(rt["text -deleted"], md), md
      if ("E01 text" in w)
        printf "E01 (deflate best) / raw, text: %.3f %s (target <= %s)\n", rt["E01 text"], mark(rt["E01 text"], me), me
      printf "%s %s %.4f\n", shape, size, w["text"] * 1e6 / e >> flat
    }' "$work/table"
  for name in "${names[@]}"; do
    f=$work/${name//[ \/]/_}
    [[ -f $f.failed ]] && { echo "--- $name, standard error:"; tail -5 "$f.err"; }
  done
done

# The flat check: the text table's time per entry at every size of a shape
# against its smallest size.
echo
echo "targets: <= $max_fls x fls, <= $max_ntfsls x ntfsls, text <= $max_us us/entry, peak < $max_mb MB (at 2,000,000 files), -deleted <= $max_deleted x, E01 <= $max_e01 x raw"
sort -k1,1 -k2,2n "$work/flat" | awk -v limit="$max_flat" '
  { n[$1]++; size[$1, n[$1]] = $2; us[$1, n[$1]] = $3 }
  END {
    for (s in n) {
      if (n[s] < 2) continue
      line = sprintf("flat check, %s, text us/entry:", s)
      for (i = 1; i <= n[s]; i++) line = line sprintf(" %d: %.2f", size[s, i], us[s, i])
      r = us[s, n[s]] / us[s, 1]
      printf "%s; largest / smallest %.2f %s (target <= %s)\n", line, r, (r <= limit ? "ok" : "MISS"), limit
    }
  }'
echo "run.sh: $(($(date +%s) - started)) s in all"
