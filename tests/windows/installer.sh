#!/usr/bin/env bash
# Packs a cross-built Windows tree (packaging/windows/package.sh) and tries
# both packages under Wine as a Windows user would:
#  - the setup program, run silently in a fresh 64-bit Wine prefix over an
#    older version (the same files and one more), then over itself with a
#    file deleted, leaves its own files in Program Files and no others: no
#    ftd2xx.dll (the driver's DLL comes with the FTDI D2XX driver);
#  - the older setup program, run over it, refuses and changes nothing;
#  - an upgrade, and the uninstaller, while a program runs from the install
#    folder refuse before they touch anything, and the old install is whole;
#  - its Start-menu shortcuts start the programs in the install folder,
#    where the window finds logo.jpg;
#  - the uninstall entry names product, version, publisher, icon, folder
#    and size;
#  - the demo, started through its shortcut, opens its window in that
#    folder and shows the logo, and the terminal demo prints readings;
#  - the silent uninstall leaves no file, shortcut or key behind;
#  - the portable zip holds the same files in one folder, and the demo
#    started there shows its window with the logo.
# A 64-bit-only Wine runs a 32-bit setup program without error and without
# installing anything, so the checks look at the files, not at exit codes.
#   tests/windows/installer.sh BUILD_DIR
# Needs wine, xvfb (when there is no display), xdotool, imagemagick, unzip and what
# package.sh needs: packaging/windows/packages.txt.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_root=$(cd "$here/../.." && pwd)
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd -P)

readonly PRODUCT="TALVIRO Measurement"
readonly PUBLISHER="TALVIRO project"
readonly INSTALL_DIR_WINDOWS='C:\Program Files\TALVIRO Measurement'
readonly UNINSTALL_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TALVIRO Measurement'
readonly UNINSTALL_KEY_FULL="HKEY_LOCAL_MACHINE${UNINSTALL_KEY#HKLM}"
readonly START_MENU_DIR='ProgramData/Microsoft/Windows/Start Menu/Programs'
# Shortcut file name => the program it starts.
declare -A -r SHORTCUTS=(
  ["$PRODUCT.lnk"]=talviro_gui.exe
  ["$PRODUCT Demo.lnk"]=talviro_gui_demo.exe
)
readonly PACKAGED_FILES=(talviro_gui.exe talviro_gui_demo.exe talviro_read.exe talviro_read_demo.exe
                         talviro_exporter.exe logo.jpg talviro-alerts.yml talviro-dashboard.json
                         LICENSE.txt README.txt)
readonly UNINSTALLER=Uninstall.exe
# A version before every release, and a file only it has.
readonly OLD_VERSION=0.9.0
readonly OLD_ONLY_FILE=talviro_dropped.txt
# How a setup program ends when a newer version is installed, and when a
# program of the install is running.
readonly EXIT_NEWER_INSTALLED=2
readonly EXIT_PROGRAM_RUNNING=3
readonly DRIVER_DLL_PATTERN='ftd2xx*'
# What a program's manifest says to have Windows ask for an administrator.
readonly ADMIN_MANIFEST='level="requireAdministrator"'
# Seconds to wait for a window (the first start of a program in a fresh
# prefix is slow), for Xvfb, and for a program or the uninstaller to end.
readonly WINDOW_TIMEOUT=90
readonly LOGO_TIMEOUT=20
readonly XVFB_TIMEOUT=30
readonly EXIT_TIMEOUT=60
readonly POLL_INTERVAL=0.5
# The window shows logo.jpg at (325, 6) of its client area, 160x40; without
# the logo that area is plain background, with it the grey levels spread.
readonly LOGO_AREA=150x34+330+8
readonly LOGO_MIN_SPREAD=0.05

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

for tool in wineserver wineboot winepath xdotool import convert unzip perl cmake; do
  command -v "$tool" > /dev/null || fail "$tool is missing: install packaging/windows/packages.txt"
done
# The 64-bit Wine loader: Debian's wine wrapper looks for the 32-bit one
# first and warns when it is missing. wineboot and winepath use it too.
if [ -z "${WINELOADER:-}" ]; then
  for loader in /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
    [ -n "$loader" ] && [ -x "$loader" ] && { WINELOADER=$loader; break; }
  done
fi
[ -n "${WINELOADER:-}" ] || fail "no 64-bit Wine loader: install packaging/windows/packages.txt"
export WINELOADER
wine() {
  "$WINELOADER" "$@"
}

scratch="$build/windows-installer-test"
rm -rf "$scratch"
mkdir -p "$scratch"
export WINEPREFIX="$scratch/prefix" WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko downloads, and no desktop entries in the user's menus
# for the shortcuts the setup program makes.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
xvfb_pid=
cleanup() {
  wineserver -k > /dev/null 2>&1 || true
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2> /dev/null || true
}
trap cleanup EXIT

"$source_root/packaging/windows/package.sh" "$build" > "$scratch/package.log" \
  || fail "package.sh failed: $(cat "$scratch/package.log")"
version=$(cmake -D BUILD_DIR="$build" -P "$source_root/packaging/windows/version.cmake")
setup="$build/dist/talviro-measurement-$version-setup.exe"
zip_file="$build/dist/talviro-measurement-$version-windows-x64.zip"
[ -f "$setup" ] || fail "no setup program $setup"
[ -f "$zip_file" ] || fail "no zip $zip_file"
objdump_tool=$(sed -n 's/^CMAKE_OBJDUMP:[A-Z]*=//p' "$build/CMakeCache.txt")
"$objdump_tool" -f "$setup" | grep -q 'file format pei-x86-64' \
  || fail "the setup program is not a 64-bit Windows program"
# A per-machine install: Windows asks for an administrator before it starts.
grep -a -q "$ADMIN_MANIFEST" "$setup" || fail "the setup program does not ask for administrator rights"

if [ -z "${DISPLAY:-}" ]; then
  command -v Xvfb > /dev/null || fail "no DISPLAY and no Xvfb: install packaging/windows/packages.txt"
  exec {display_fd}> "$scratch/display"
  Xvfb -displayfd "$display_fd" -nolisten tcp -screen 0 1024x768x24 > "$scratch/xvfb.log" 2>&1 &
  xvfb_pid=$!
  exec {display_fd}>&-
  deadline=$((SECONDS + XVFB_TIMEOUT))
  while [ ! -s "$scratch/display" ] && [ $SECONDS -lt $deadline ]; do
    sleep "$POLL_INTERVAL"
  done
  [ -s "$scratch/display" ] || fail "Xvfb did not start: $(cat "$scratch/xvfb.log")"
  DISPLAY=":$(cat "$scratch/display")"
  export DISPLAY
fi

mkdir -p "$WINEPREFIX"
# A persistent server started apart, so that Wine's services do not hold
# the test's output open; no crash dialog waiting for a click.
wineserver -p > /dev/null 2>&1
wineboot -i > /dev/null 2>&1
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f > /dev/null 2>&1
# The desktop process, which a session's first window starts and which ends
# some seconds after the last one closed: started here, it stays, and no
# later program waits 10 s for it to start again.
wine explorer.exe /desktop > /dev/null 2>&1 &

drive_c="$WINEPREFIX/drive_c"
install_dir=$(winepath -u "$INSTALL_DIR_WINDOWS" 2> /dev/null)
install_dir=$(realpath -m "$install_dir")
start_menu="$drive_c/$START_MENU_DIR"

# prefix_pids PATTERN: the processes of this Wine prefix whose command line
# matches the extended regular expression PATTERN.
prefix_pids() {
  local pid
  for pid in $(pgrep -f -- "$1" || true); do
    tr '\0' '\n' < "/proc/$pid/environ" 2> /dev/null | grep -xF "WINEPREFIX=$WINEPREFIX" > /dev/null && echo "$pid"
  done
  return 0
}

# wait_until_gone PATTERN WHAT: waits until no process of the prefix
# matches PATTERN.
wait_until_gone() {
  local deadline=$((SECONDS + EXIT_TIMEOUT))
  while [ -n "$(prefix_pids "$1")" ]; do
    [ $SECONDS -lt $deadline ] || fail "$2 still running after $EXIT_TIMEOUT s"
    sleep "$POLL_INTERVAL"
  done
}

# program_pattern PROGRAM: matches the command line of PROGRAM in Wine,
# started by its Windows path or by its name alone.
program_pattern() {
  printf '(^|\\\\)%s$' "${1//./[.]}"
}

# wait_for_window PROGRAM: waits for PROGRAM's window titled with the
# product's name; prints the program's process id.
wait_for_window() {
  local deadline=$((SECONDS + WINDOW_TIMEOUT)) pid wid
  while [ $SECONDS -lt $deadline ]; do
    for pid in $(prefix_pids "$(program_pattern "$1")"); do
      for wid in $(xdotool search --onlyvisible --name "^$PRODUCT" 2> /dev/null || true); do
        if [ "$(xdotool getwindowpid "$wid" 2> /dev/null)" = "$pid" ]; then
          echo "$pid"
          return 0
        fi
      done
    done
    sleep "$POLL_INTERVAL"
  done
  fail "no window of $1 titled \"$PRODUCT ...\" within $WINDOW_TIMEOUT s"
}

# wait_for_logo PID WHERE: waits until the window of process PID shows the
# logo, as it does once painted when it found logo.jpg.
wait_for_logo() {
  local deadline=$((SECONDS + LOGO_TIMEOUT)) wid spread=0
  while [ $SECONDS -lt $deadline ]; do
    for wid in $(xdotool search --onlyvisible --name "^$PRODUCT" 2> /dev/null || true); do
      [ "$(xdotool getwindowpid "$wid" 2> /dev/null)" = "$1" ] || continue
      import -window "$wid" "$scratch/window.png" 2> /dev/null || continue
      spread=$(convert "$scratch/window.png" -crop "$LOGO_AREA" +repage -colorspace Gray \
                 -format '%[fx:standard_deviation]' info:)
      awk -v s="$spread" -v min="$LOGO_MIN_SPREAD" 'BEGIN { exit !(s > min) }' && return 0
    done
    sleep "$POLL_INTERVAL"
  done
  fail "the window started $2 shows no logo (spread $spread)"
}

# stop_program PROGRAM: ends PROGRAM in the prefix and waits until it is gone.
stop_program() {
  wine taskkill /f /im "$1" > /dev/null 2>&1 || true
  wait_until_gone "$(program_pattern "$1")" "$1"
}

# check_no_driver_dll DIR: DIR holds no ftd2xx DLL in any letter case.
check_no_driver_dll() {
  local found
  found=$(find "$1" -iname "$DRIVER_DLL_PATTERN")
  [ -z "$found" ] || fail "the driver's DLL was packed: $found"
}

# The portable zip: one folder with the programs and what they need.
unzip -q "$zip_file" -d "$scratch/portable"
portable="$scratch/portable/talviro-measurement-$version-windows-x64"
[ "$(ls "$scratch/portable")" = "$(basename "$portable")" ] \
  || fail "the zip does not hold one folder $(basename "$portable"): $(ls "$scratch/portable")"
for f in "${PACKAGED_FILES[@]}"; do
  [ -f "$portable/$f" ] || fail "missing in the zip: $f"
done
check_no_driver_dll "$portable"

# run_setup SETUP WHAT: runs SETUP silently, as an IT department does.
run_setup() {
  wine "$1" /S > "$scratch/setup.log" 2>&1 || fail "the setup program $2 failed: $(cat "$scratch/setup.log")"
}

# check_installed WHEN [STAGE]: the install folder holds STAGE's files (the
# zip's by default) and the uninstaller, and nothing else.
check_installed() {
  local stage=${2:-$portable} expected installed f
  expected=$( (ls "$stage"; echo "$UNINSTALLER") | sort)
  installed=$(ls "$install_dir" | sort)
  [ "$installed" = "$expected" ] \
    || fail "installed files differ from ${stage##*/}'s $1: $(diff <(echo "$expected") <(echo "$installed") | grep '^[<>]' | tr '\n' ' ')"
  for f in "$stage"/*; do
    cmp -s "$f" "$install_dir/${f##*/}" || fail "installed ${f##*/} differs from ${stage##*/}'s $1"
  done
}

# An earlier release: this one's files but the window programs (packing
# those takes 10 s), and one that this release dropped.
old_setup="$scratch/talviro-measurement-$OLD_VERSION-setup.exe"
cp -r "$portable" "$scratch/old-stage"
rm "$scratch/old-stage"/talviro_gui*.exe
echo "Only in $OLD_VERSION" > "$scratch/old-stage/$OLD_ONLY_FILE"
"$source_root/packaging/windows/make_setup.sh" "$scratch/old-stage" "$OLD_VERSION" "$old_setup" \
  > "$scratch/old-package.log" 2>&1 || fail "making the $OLD_VERSION setup program failed: $(cat "$scratch/old-package.log")"
run_setup "$old_setup" "of $OLD_VERSION"
[ -f "$install_dir/$OLD_ONLY_FILE" ] || fail "the $OLD_VERSION setup program did not install $OLD_ONLY_FILE"
# An upgrade while the exporter runs from the install folder (without the
# driver it serves no probe, but runs on): refused before anything is
# touched, and the old install is whole, its entry and shortcuts there.
(cd "$install_dir" && exec "$WINELOADER" talviro_exporter.exe --listen 127.0.0.1:0) > /dev/null 2> "$scratch/exporter.log" &
deadline=$((SECONDS + EXIT_TIMEOUT))
until grep -q '^talviro_exporter: serving ' "$scratch/exporter.log"; do
  [ $SECONDS -lt $deadline ] || fail "the exporter did not start from the install folder: $(cat "$scratch/exporter.log")"
  sleep "$POLL_INTERVAL"
done
status=0
timeout "$EXIT_TIMEOUT" "$WINELOADER" "$setup" /S > "$scratch/running.log" 2>&1 || status=$?
[ $status -eq $EXIT_PROGRAM_RUNNING ] \
  || fail "the setup program with talviro_exporter.exe running exited with $status, not $EXIT_PROGRAM_RUNNING"
check_installed "with talviro_exporter.exe running" "$scratch/old-stage"
wine reg query "$UNINSTALL_KEY" /v DisplayVersion 2> /dev/null | tr -d '\r' | grep -q " $OLD_VERSION$" \
  || fail "the uninstall entry of $OLD_VERSION is gone after the refused upgrade"
for lnk in "${!SHORTCUTS[@]}"; do
  [ -f "$start_menu/$lnk" ] || fail "the shortcut \"$lnk\" is gone after the refused upgrade"
done
# Nor does the uninstaller remove anything while it runs. It copies itself
# into a temporary folder and runs from there, so wait for that copy to end.
wine "$install_dir/$UNINSTALLER" /S > "$scratch/uninstall-running.log" 2>&1 || true
wait_until_gone '[\\/]~nsu[^\\/]*[.]tmp[\\/]' "the uninstaller"
check_installed "after the uninstaller ran with talviro_exporter.exe running" "$scratch/old-stage"
stop_program talviro_exporter.exe
# This version over it, which takes it away first, then over itself, which
# repairs a damaged install.
run_setup "$setup" "over $OLD_VERSION"
rm "$install_dir/logo.jpg"
run_setup "$setup" "over the same version"
check_installed "after the upgrade and the repair"
check_no_driver_dll "$install_dir"

for lnk in "${!SHORTCUTS[@]}"; do
  [ -f "$start_menu/$lnk" ] || fail "no Start-menu shortcut \"$lnk\""
  fields=$(perl "$here/shortcut.pl" "$start_menu/$lnk")
  target=$(sed -n 's/^target=//p' <<< "$fields")
  workdir=$(sed -n 's/^workdir=//p' <<< "$fields")
  [ "$target" = "$INSTALL_DIR_WINDOWS\\${SHORTCUTS[$lnk]}" ] || fail "\"$lnk\" starts '$target'"
  [ "$workdir" = "$INSTALL_DIR_WINDOWS" ] \
    || fail "\"$lnk\" starts in '$workdir', not in the install folder: the window would miss its logo"
done

wine reg query "$UNINSTALL_KEY" > "$scratch/uninstall-key.txt" 2>&1 \
  || fail "no uninstall entry $UNINSTALL_KEY"
# reg_value NAME: the uninstall entry's value NAME.
reg_value() {
  tr -d '\r' < "$scratch/uninstall-key.txt" | sed -n "s/^ *$1 \{4\}REG_[A-Z_]* \{4\}//p"
}
[ "$(reg_value DisplayName)" = "$PRODUCT" ] || fail "DisplayName is '$(reg_value DisplayName)'"
[ "$(reg_value DisplayVersion)" = "$version" ] || fail "DisplayVersion is '$(reg_value DisplayVersion)', not $version"
[ "$(reg_value Publisher)" = "$PUBLISHER" ] || fail "Publisher is '$(reg_value Publisher)'"
[ "$(reg_value InstallLocation)" = "$INSTALL_DIR_WINDOWS" ] \
  || fail "InstallLocation is '$(reg_value InstallLocation)'"
icon=$(reg_value DisplayIcon)
[ -f "$(winepath -u "${icon%,*}" 2> /dev/null)" ] || fail "DisplayIcon '$icon' names no installed file"
[ "$(reg_value UninstallString)" = "\"$INSTALL_DIR_WINDOWS\\$UNINSTALLER\"" ] \
  || fail "UninstallString is '$(reg_value UninstallString)'"
size_kb=$(($(reg_value EstimatedSize)))
actual_kb=$(($(du -s -b --apparent-size "$install_dir" | cut -f1) / 1024))
# Apart from rounding, and the folder entries du counts.
[ $((size_kb - actual_kb)) -ge -8 ] && [ $((size_kb - actual_kb)) -le 8 ] \
  || fail "EstimatedSize is $size_kb kB, the files take $actual_kb kB"

# The older setup program refuses, changing nothing, and waits for no click.
status=0
timeout "$EXIT_TIMEOUT" "$WINELOADER" "$old_setup" /S > "$scratch/downgrade.log" 2>&1 || status=$?
[ $status -eq $EXIT_NEWER_INSTALLED ] \
  || fail "the $OLD_VERSION setup program over $version exited with $status, not $EXIT_NEWER_INSTALLED"
check_installed "after the $OLD_VERSION setup program"

# The demo through its shortcut, as the Start menu starts it.
wine start /unix "$start_menu/$PRODUCT Demo.lnk" > "$scratch/demo.log" 2>&1 \
  || fail "starting the demo's shortcut failed: $(cat "$scratch/demo.log")"
demo_pid=$(wait_for_window talviro_gui_demo.exe)
[ "$(readlink "/proc/$demo_pid/cwd")" = "$install_dir" ] \
  || fail "the demo runs in $(readlink "/proc/$demo_pid/cwd"), not in the install folder"
wait_for_logo "$demo_pid" "from its shortcut"
stop_program talviro_gui_demo.exe

# The terminal demo, from the install folder.
(cd "$install_dir" && wine talviro_read_demo.exe > "$scratch/read.out" 2> "$scratch/read.err") \
  || fail "talviro_read_demo.exe failed: $(cat "$scratch/read.err")"
grep -q '^A1 = ' "$scratch/read.out" || fail "talviro_read_demo.exe printed no readings: $(cat "$scratch/read.out")"

# The silent uninstall. The uninstaller copies itself into a temporary
# folder and runs from there, so wait for that copy to end.
wine "$install_dir/$UNINSTALLER" /S > "$scratch/uninstall.log" 2>&1 \
  || fail "the uninstaller failed: $(cat "$scratch/uninstall.log")"
wait_until_gone '[\\/]~nsu[^\\/]*[.]tmp[\\/]' "the uninstaller"
[ ! -e "$install_dir" ] || fail "left after uninstall: $(find "$install_dir" | tr '\n' ' ')"
left=$(find "$start_menu" -iname '*TALVIRO*')
[ -z "$left" ] || fail "shortcuts left after uninstall: $left"
# The key above it is there to read, and no longer holds the entry.
wine reg query "${UNINSTALL_KEY%\\*}" > "$scratch/uninstall-keys.txt" 2>&1 \
  || fail "cannot read the uninstall entries: $(cat "$scratch/uninstall-keys.txt")"
if tr -d '\r' < "$scratch/uninstall-keys.txt" | grep -qixF "$UNINSTALL_KEY_FULL"; then
  fail "the uninstall entry is left after uninstall"
fi

# The portable folder: the demo started there finds its logo there.
(cd "$portable" && exec "$WINELOADER" talviro_gui_demo.exe > "$scratch/portable.log" 2>&1) &
demo_pid=$(wait_for_window talviro_gui_demo.exe)
[ "$(readlink "/proc/$demo_pid/cwd")" = "$portable" ] \
  || fail "the portable demo runs in $(readlink "/proc/$demo_pid/cwd")"
wait_for_logo "$demo_pid" "in the portable folder"
stop_program talviro_gui_demo.exe

# The prefix takes hundreds of megabytes; a failed run leaves it to look at.
wineserver -k > /dev/null 2>&1 || true
wineserver -w > /dev/null 2>&1 || true
rm -rf "$WINEPREFIX"
echo "$(basename "$setup") installed, started from its shortcut and uninstalled;" \
     "$(basename "$zip_file") started from its folder"
