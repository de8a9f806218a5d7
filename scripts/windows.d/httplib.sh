#!/usr/bin/env bash
# cpp-httplib for the Windows build of talviro_exporter: the header-only
# httplib.h of Debian's source package, the version the Linux build links.
# (libcpp-httplib-dev installs it split into declarations and a shared
# library, which mingw-w64 cannot use.) Fetched with apt-get source from the
# suites in sources.list beside this file through a private apt state, as
# deps.sh fetches its sources, into DEST_DIR, a folder that then holds only
# httplib.h, so that the cross compiler sees no other Linux header.
# Nothing is done when DEST_DIR holds it already.
#   httplib.sh DEST_DIR
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: httplib.sh DEST_DIR" >&2; exit 2; }
dest=$1
here=$(cd "$(dirname "$0")" && pwd)
readonly SOURCE=cpp-httplib=0.11.4+ds-1+deb12u1
[ -f "$dest/httplib.h" ] && exit 0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/src"
apt_options=(
  -o "Dir::Etc::SourceParts=$here"
  -o Dir::Etc::SourceList=/dev/null
  -o "Dir::State::Lists=$work/apt/lists"
  -o "Dir::Cache=$work/apt/cache"
)
[ "$(id -u)" -ne 0 ] || apt_options+=(-o APT::Sandbox::User=root)
apt-get "${apt_options[@]}" -q update > "$work/apt.log" 2>&1 &&
  (cd "$work/src" && apt-get "${apt_options[@]}" -q source --only-source "$SOURCE") >> "$work/apt.log" 2>&1 ||
  { cat "$work/apt.log" >&2; echo "httplib.sh: apt-get source $SOURCE failed" >&2; exit 1; }
header=$(find "$work/src" -mindepth 2 -maxdepth 2 -name httplib.h | head -n 1)
# The whole library, implementation included, not a split declaration file.
[ -n "$header" ] && grep -q '^inline bool Server::listen_internal() {' "$header" ||
  { echo "httplib.sh: $SOURCE holds no header-only httplib.h" >&2; exit 1; }
mkdir -p "$dest.part"
cp "$header" "$dest.part/httplib.h"
rm -rf "$dest"
mv "$dest.part" "$dest"
