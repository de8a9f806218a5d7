#!/usr/bin/env bash
# Makes the setup program of talviro-measurement.nsi from a folder of files:
# it installs, and its uninstaller removes, exactly the files in STAGE_DIR,
# and names itself, the uninstall entry and its version information
# VERSION (MAJOR.MINOR.PATCH). package.sh runs it on its stage, and the
# installer test on a copy with a file more and an older version.
#   packaging/windows/make_setup.sh STAGE_DIR VERSION OUT_FILE
# Needs makensis (nsis).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
[ $# -eq 3 ] || { echo "usage: $0 STAGE_DIR VERSION OUT_FILE" >&2; exit 2; }
stage=$(cd "$1" && pwd)
version=$2
out=$3

[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "make_setup.sh: '$version' is not MAJOR.MINOR.PATCH" >&2; exit 1; }

file_list=$(mktemp --suffix=.nsh)
trap 'rm -f "$file_list"' EXIT
(cd "$stage" && for file in *; do echo "\${TALVIRO_FILE} \"$file\""; done) > "$file_list"
makensis -V2 -NOCD -DVERSION="$version" -DSTAGE_DIR="$stage" -DFILE_LIST="$file_list" \
  -DOUT_FILE="$out" "$here/talviro-measurement.nsi"
