#!/usr/bin/env bash
# Writes the output of one build on every fixture image and every shared
# real-world image, in every layout, into a folder, so that the outputs of
# two builds can be compared byte for byte after a change meant to alter
# nothing but speed:
#
#   bench/reference_outputs.sh build/brelvik /tmp/before
#   ... change, rebuild ...
#   bench/reference_outputs.sh build/brelvik /tmp/after
#   diff -r /tmp/before /tmp/after
#
# Images come from a build tree's unpacked fixtures (FIXTURES, default
# build/fixtures) and shared images (TESTDATA, default build/testdata);
# every NTFS volume a disk holds is listed at its offset. The lines that
# carry the run's own time and command line are left out of what is kept,
# and so are the XML file's; standard error and the exit code are kept.
set -uo pipefail

brelvik=$(realpath "${1:?usage: bench/reference_outputs.sh BRELVIK OUTDIR}")
out=${2:?usage: bench/reference_outputs.sh BRELVIK OUTDIR}
root=$(cd "$(dirname "$0")/.." && pwd)
fixtures=${FIXTURES:-$root/build/fixtures}
testdata=${TESTDATA:-$root/build/testdata}
mkdir -p "$out"

# The layouts: a name and the options that make it.
layouts=(
  "text|-level -2"
  "text1|"
  "alldates|-level -2 -alldates"
  "objid_indx|-level -2 -objid -indx"
  "paths|-level -2 -filepath_only"
  "csv|-level -2 -csv"
  "csv_all|-level -2 -csv -alldates -base10 -pair_datetime -split_pathfile"
  "csv_pipe|-level -2 -csv -no_whitespace -csv_separator | -dateformat mm/dd/yyyy -timeformat hh:mm:ss"
  "xml|-level -2 -xml"
  "xml_all|-level -2 -xml -alldates"
  "body|-level -2 -bodyfile"
  "l2t|-level -2 -csvl2t"
  "l2t_all|-level -2 -csvl2t -alldates"
  "body_all|-level -2 -bodyfile -alldates"
  "deleted|-level -2 -deleted"
  "deleted_csv|-level -2 -deleted -csv"
  "deleted_paths|-level -2 -deleted -filepath_only"
  "deleted_body|-level -2 -deleted -bodyfile"
  "deleted_xml|-level -2 -deleted -xml"
  "mft5|-mft 5"
)

strip() {
  grep -av -e '^run time: ' -e '"cmd line: ' | sed -e 's/^\(<logdata .*\) date="[^"]*" time="[^"]*"/\1/' || true
}

# list NAME IMAGE [OFFSET]: every layout of one volume.
list() {
  local name=$1 image=$2 offset=${3:-} entry layout opts args
  for entry in "${layouts[@]}"; do
    layout=${entry%%|*}
    opts=${entry#*|}
    args=()
    [[ $layout == mft5 ]] || args+=('\')
    args+=(-image "$image")
    [[ -n $offset ]] && args+=(-offset "$offset")
    local rest=() o
    read -r -a rest <<<"$opts"
    for o in "${rest[@]}"; do
      if [[ $o == -xml ]]; then args+=(-xml "$out/$name.$layout.xmlfile"); else args+=("$o"); fi
    done
    "$brelvik" "${args[@]}" 2>"$out/$name.$layout.err" | strip >"$out/$name.$layout.out"
    local rc=${PIPESTATUS[0]}
    strip <"$out/$name.$layout.err" >"$out/$name.$layout.e" && mv "$out/$name.$layout.e" "$out/$name.$layout.err"
    echo "rc=$rc" >>"$out/$name.$layout.err"
    if [[ -f $out/$name.$layout.xmlfile ]]; then
      strip <"$out/$name.$layout.xmlfile" >"$out/$name.$layout.xml"
      rm -f "$out/$name.$layout.xmlfile"
    fi
  done
}

shopt -s nullglob
images=()
for f in "$fixtures"/*.img "$fixtures"/*.E01 "$fixtures"/*.vhd "$fixtures"/*.vhdx "$fixtures"/*.vmdk \
         "$fixtures"/*.001 "$testdata"/*.raw "$testdata"/*/*.dd; do
  images+=("$f")
done
for image in "${images[@]}"; do
  name=$(basename "$image")
  # A disk: each offset the partition scan names; a bare volume: no offset.
  offsets=$("$brelvik" '\' -image "$image" 2>/dev/null | sed -n 's/^volume offset \[ \(0x[0-9a-f]*\) \] : ntfs.*/\1/p')
  if [[ -z $offsets ]]; then
    list "$name" "$image"
  else
    for o in $offsets; do list "$name@$o" "$image" "$o"; done
  fi
done
echo "reference_outputs: $(ls "$out" | wc -l) files in $out" >&2
