#!/usr/bin/env bash
# Builds the .deb and checks its contents and its dependencies, then unpacks
# it into a scratch root and checks the desktop entries' paths.
#   check_deb.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
build=$(cd "$1" && pwd)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" > cpack.log) \
  || { cat "$scratch/cpack.log"; fail "cpack failed"; }
deb=$(ls "$scratch"/out/*.deb)
grep -qF "sudo apt install ./$(basename "$deb")" "$here/../../README.md" \
  || fail "README does not install the package cpack makes: $(basename "$deb")"

dpkg-deb -c "$deb" | awk '{print $6}' > "$scratch/contents"
for f in "${installed_files[@]}"; do
  grep -qx "./usr/$f" "$scratch/contents" || fail "not in the package: /usr/$f"
done

depends=$(dpkg-deb -f "$deb" Depends)
for lib in libwxgtk3.2 libftdi1 libc6 libstdc++6; do
  grep -q "$lib" <<< "$depends" || fail "Depends lacks $lib: $depends"
done
[ "$(dpkg-deb -f "$deb" Package)" = talviro-measurement ] || fail "wrong package name"

root="$scratch/root"
dpkg-deb -x "$deb" "$root"
for entry in talviro-measurement talviro-measurement-demo; do
  file="$root/usr/share/applications/$entry.desktop"
  [ "$(desktop_key "$file" Path)" = /usr/share/talviro ] || fail "$entry.desktop: Path $(desktop_key "$file" Path)"
done
[ -s "$root/usr/share/talviro/logo.jpg" ] || fail "empty logo in the package"
echo "$(basename "$deb") checked: Depends: $depends"
