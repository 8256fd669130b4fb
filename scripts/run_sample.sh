#!/usr/bin/env bash
# Builds the tool and lists the sample NTFS image the project ships.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build"
# The sample is the project's main fixture volume.
archive="$root/tests/fixtures/images/main.img.xz"
sample="$root/build/sample.img"
if [[ ! -e "$sample" || "$archive" -nt "$sample" ]]; then
  xz -dc "$archive" > "$sample"
fi
exec "$root/build/brelvik" '\' -image "$sample" -level 1 "$@"
