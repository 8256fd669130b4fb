#!/usr/bin/env bash
# Builds the tool and lists the sample NTFS image the project ships. Only
# the listing goes to standard output (its first line is the run header);
# package installation and the build report on standard error, so the
# output can be piped or redirected as it is.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" --build >&2
# A tree of its own without the tests, which need more than the build does.
"$root/scripts/build.sh" "$root/build-sample" -DBRELVIK_TESTS=OFF >&2
# The sample is the project's main fixture volume.
archive="$root/tests/fixtures/images/main.img.xz"
sample="$root/build-sample/sample.img"
if [[ ! -e "$sample" || "$archive" -nt "$sample" ]]; then
  xz -dc "$archive" > "$sample.part" && mv "$sample.part" "$sample"
fi
exec "$root/build-sample/brelvik" '\' -image "$sample" -level 1 "$@"
