#!/usr/bin/env bash
# Builds the tool and lists the sample NTFS image the project ships.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build"
sample="$root/build/sample.img"
if [[ ! -e "$sample" || "$root/samples/sample.img.xz" -nt "$sample" ]]; then
  xz -dc "$root/samples/sample.img.xz" > "$sample"
fi
exec "$root/build/brelvik" '\' -image "$sample" -level 1 "$@"
