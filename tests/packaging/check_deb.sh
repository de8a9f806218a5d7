#!/usr/bin/env bash
# Builds the .deb as "Using a real probe" in the README tells a newcomer to:
# its build commands, read from the README, run in a fresh copy of the tree
# with GoogleTest and Google Benchmark hidden from CMake (only the build
# packages' libraries), then its cpack command. Checks the package's contents
# and its dependencies, has lintian check it as Debian would, then unpacks it
# into a scratch root and checks the desktop entries, the AppStream metadata
# and the version a program gives.
#   check_deb.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
readme="$src/README.md"

scratch=$(mktemp -d)
# The copy lies in the suite's build folder: with scripts/test's ccache, whose
# base_dir is the source tree, its objects come from the suite's build.
tree=$(mktemp -d "$build/readme-build.XXXXXX")
trap 'rm -rf "$scratch" "$tree"' EXIT

# Step 1's code block, then the Install section's cpack command without the
# package's installation.
steps=$(awk '/^## / { section = $0 }
             section == "## Using a real probe" && /^1\. / { on = 1; next }
             on && /^    +[^ ]/ { sub(/^ +/, ""); print; seen = 1; next }
             on && seen && /[^ ]/ { exit }' "$readme")
grep -q '^cmake --build ' <<< "$steps" || fail "no build commands in \"Using a real probe\" of README: $steps"
package=$(grep -m1 -oE 'cd [^ ]+ && cpack -G DEB' "$readme") || fail "no cpack command in README"
package_dir=$(cut -d' ' -f2 <<< "$package")

git -C "$src" ls-files -z --cached --others --exclude-standard |
  tar -C "$src" --null -T - --ignore-failed-read -cf - | tar -C "$tree" -xf -
printf 'set(CMAKE_DISABLE_FIND_PACKAGE_%s ON)\n' GTest benchmark > "$scratch/hide-test-libraries.cmake"
launcher=$(sed -n 's/^CMAKE_CXX_COMPILER_LAUNCHER:[A-Z]*=//p' "$build/CMakeCache.txt")
(
  cd "$tree"
  export CMAKE_TOOLCHAIN_FILE="$scratch/hide-test-libraries.cmake" CMAKE_BUILD_PARALLEL_LEVEL=2
  [ -z "$launcher" ] || export CMAKE_C_COMPILER_LAUNCHER="$launcher" CMAKE_CXX_COMPILER_LAUNCHER="$launcher"
  bash -euo pipefail -c "$steps"$'\n'"$package"
) > "$scratch/readme-build.log" 2>&1 || { tail -n 40 "$scratch/readme-build.log"; fail "the README's build failed"; }
grep -qx -- '-- Left out: the tests (no GoogleTest) and the benchmarks (no Google Benchmark); .*' \
  "$scratch/readme-build.log" || fail "the README's build did not leave out the tests and benchmarks"
deb=$(ls "$tree/$package_dir"/*.deb)
grep -qF "sudo apt install ./$(basename "$deb")" "$readme" \
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

# Errors and warnings fail; info and pedantic notes are advice. root may
# run lintian only when it says so.
lintian --allow-root --fail-on error,warning "$deb" > "$scratch/lintian.log" 2>&1 \
  || fail "lintian: $(cat "$scratch/lintian.log")"
! grep -E '^[EW]: ' "$scratch/lintian.log" || fail "lintian reports errors or warnings"

root="$scratch/root"
dpkg-deb -x "$deb" "$root"
for entry in "$app_id" "${app_id}Demo"; do
  file="$root/usr/share/applications/$entry.desktop"
  [ "$(desktop_key "$file" Path)" = /usr/share/talviro ] || fail "$entry.desktop: Path $(desktop_key "$file" Path)"
done
[ -s "$root/usr/share/talviro/logo.jpg" ] || fail "empty logo in the package"
for entry in "$app_id" "${app_id}Demo"; do
  desktop-file-validate "$root/usr/share/applications/$entry.desktop" || fail "$entry.desktop does not validate"
done

# The exporter's service as systemd reads it, beside the system's own units,
# with the package's program and man page in place; the group it joins is
# the one the udev rule gives the probes to and the package creates.
unit=usr/lib/systemd/system/talviro-exporter.service
cp -rn /lib/systemd/system/. "$root/usr/lib/systemd/system/"
MANPATH="$root/usr/share/man" systemd-analyze verify --root="$root" "$root/$unit" > "$scratch/verify.log" 2>&1 \
  || fail "systemd-analyze verify: $(cat "$scratch/verify.log")"
[ ! -s "$scratch/verify.log" ] || fail "systemd-analyze verify warns: $(cat "$scratch/verify.log")"
group=$(sed -n 's/^SupplementaryGroups=//p' "$root/$unit")
grep -q "TAG+=\"uaccess\", GROUP=\"$group\", MODE=\"0664\"" "$root/usr/lib/udev/rules.d/70-talviro.rules" \
  || fail "the udev rule does not give the probes to the service's group $group"
mkdir -p "$root/etc"
systemd-sysusers --root="$root" --dry-run > "$scratch/sysusers.log" 2>&1 || fail "systemd-sysusers: $(cat "$scratch/sysusers.log")"
grep -q "^Creating group '$group' with GID" "$scratch/sysusers.log" \
  || fail "the package's sysusers.d file does not create the group $group"
dpkg-deb -I "$deb" postinst > "$scratch/postinst"
grep -qx '        systemd-sysusers talviro.conf' "$scratch/postinst" || fail "no postinst creating the group"
# The rule reaches a probe plugged in before the install, and an udevadm that
# fails (no udev in a container) fails nothing: postinst runs with stand-ins.
mkdir -p "$scratch/bin"
printf '#!/bin/sh\nexit 0\n' > "$scratch/bin/systemd-sysusers"
printf '#!/bin/sh\necho "$*" >> "%s"\nexit 1\n' "$scratch/udevadm.log" > "$scratch/bin/udevadm"
chmod +x "$scratch/bin/systemd-sysusers" "$scratch/bin/udevadm"
PATH="$scratch/bin:$PATH" sh "$scratch/postinst" configure || fail "postinst fails with a failing udevadm"
grep -qx 'trigger --subsystem-match=usb --attr-match=idVendor=0403 --attr-match=idProduct=6010' \
  "$scratch/udevadm.log" || fail "postinst does not apply the udev rule to plugged-in FT2232H chips"

metainfo="$root/usr/share/metainfo/$app_id.metainfo.xml"
appstreamcli validate --no-net "$metainfo" > "$scratch/appstream.log" 2>&1 \
  || fail "appstreamcli: $(cat "$scratch/appstream.log")"
! grep -E '^[EW]: ' "$scratch/appstream.log" || fail "appstreamcli reports errors or warnings"
grep -qF "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" \
  || fail "the metainfo does not launch $app_id.desktop"

version=$(dpkg-deb -f "$deb" Version)
got=$("$root/usr/bin/talviro_read_demo" --version) || fail "talviro_read_demo --version failed"
[ "$got" = "talviro_read_demo (TALVIRO Measurement) $version" ] || fail "--version of the package $version: $got"
echo "$(basename "$deb") checked: Depends: $depends"
