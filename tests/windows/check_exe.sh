#!/usr/bin/env bash
# Reads a Windows program from its file, as Windows' loader and Explorer see it.
#   check_exe.sh imports OBJDUMP EXE
#       Every DLL the program imports is one of Windows' own: linked
#       statically, it needs no libstdc++-6.dll, libgcc_s_seh-1.dll or
#       libwinpthread-1.dll beside it, and ftd2xx.dll (the probe's driver,
#       which the user installs) is loaded at run time, never imported.
#   check_exe.sh subsystem OBJDUMP EXE 2|3
#       The program's subsystem: 2 a window program (no console opens with
#       it), 3 a console program (it writes to the terminal it is started in).
#   check_exe.sh version EXE VERSION
#       The version block Explorer's Properties and the installer show
#       names the project's version as file and product version.
#   check_exe.sh resources EXE
#       Explorer and the taskbar show the first icon group, "AAAA": it holds
#       the 32x32 and 16x16 icons at 4 bits per pixel. The manifest asks for
#       version 6 of the common controls, the themed ones.
#   check_exe.sh dpi-aware EXE
#       The manifest declares per-monitor DPI awareness where Windows reads
#       it: dpiAwareness naming PerMonitorV2 first (Windows 10 1703 and
#       later), and dpiAware true/pm for the Windows versions before.
set -euo pipefail

fail() { echo "FAIL: $*"; exit 1; }

# Windows' own DLLs a program of this project may import: the C runtime, the
# kernel, the window system and what wxWidgets' MSW port draws and reads with.
readonly SYSTEM_DLLS_RE='^(kernel32|user32|gdi32|comdlg32|winspool\.drv|advapi32|shell32|shlwapi|ole32|oleaut32|comctl32|winmm|version|ws2_32|uxtheme|oleacc|rpcrt4|msvcrt|imm32|api-ms-win-crt-[a-z0-9-]+)(\.dll)?$'
readonly ICON_GROUP_TYPE=14
readonly MANIFEST_TYPE=24
readonly VERSION_TYPE=16
readonly COMMON_CONTROLS_RE='name="Microsoft[.]Windows[.]Common-Controls"'
readonly COMMON_CONTROLS_VERSION_RE='version="6[.]0[.]0[.]0"'
readonly ASM_V3_NS='urn:schemas-microsoft-com:asm.v3'
readonly SETTINGS_2005_NS='http://schemas.microsoft.com/SMI/2005/WindowsSettings'
readonly SETTINGS_2016_NS='http://schemas.microsoft.com/SMI/2016/WindowsSettings'

# windows_setting MANIFEST NAMESPACE NAME: the text of the application's
# setting NAME in NAMESPACE, where Windows looks for it; empty when absent.
windows_setting() {
  local el="*[local-name()='%s' and namespace-uri()='%s']"
  local path
  path=$(printf "/$el/$el/$el/$el" assembly urn:schemas-microsoft-com:asm.v1 \
         application "$ASM_V3_NS" windowsSettings "$ASM_V3_NS" "$3" "$2")
  xmllint --xpath "string($path)" - <<< "$1"
}

case "${1:-}" in
  imports)
    [ $# -eq 3 ] || { echo "usage: check_exe.sh imports OBJDUMP EXE" >&2; exit 2; }
    objdump=$2 exe=$3
    dlls=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
    [ -n "$dlls" ] || fail "$exe imports no DLL at all: not a PE file objdump can read?"
    bad=$(grep -viE "$SYSTEM_DLLS_RE" <<< "$dlls" || true)
    [ -z "$bad" ] || fail "$(basename "$exe") imports DLLs that are not Windows' own: $(echo $bad)"
    echo "$(basename "$exe") imports only Windows' DLLs: $(echo $dlls)"
    ;;
  subsystem)
    [ $# -eq 4 ] || { echo "usage: check_exe.sh subsystem OBJDUMP EXE 2|3" >&2; exit 2; }
    objdump=$2 exe=$3 want=$4
    got=$("$objdump" -p "$exe" | sed -n 's/^Subsystem[[:space:]]*0*\([0-9a-f]*\).*/\1/p')
    [ "$got" = "$want" ] || fail "$(basename "$exe") has subsystem '$got', not $want"
    echo "$(basename "$exe"): subsystem $got"
    ;;
  version)
    [ $# -eq 3 ] || { echo "usage: check_exe.sh version EXE VERSION" >&2; exit 2; }
    exe=$2 want=$3
    # The block's keys and values are UTF-16 strings, each key followed by
    # its value.
    texts=$(wrestool -x --raw --type=$VERSION_TYPE "$exe" | strings -el)
    [ -n "$texts" ] || fail "$(basename "$exe") has no version block"
    for key in FileVersion ProductVersion; do
      got=$(grep -A1 -x "$key" <<< "$texts" | sed -n 2p)
      [ "$got" = "$want" ] || fail "$(basename "$exe"): $key is '$got', not $want"
    done
    echo "$(basename "$exe"): file and product version $want"
    ;;
  resources)
    [ $# -eq 2 ] || { echo "usage: check_exe.sh resources EXE" >&2; exit 2; }
    exe=$2
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    listing=$(wrestool -l "$exe") || fail "wrestool cannot read the resources of $exe"
    first_group=$(grep -m1 -- "--type=$ICON_GROUP_TYPE " <<< "$listing" || true)
    [ -n "$first_group" ] || fail "$(basename "$exe") has no icon group"
    grep -qE -- "--name='?AAAA'? " <<< "$first_group" \
      || fail "the first icon group is not AAAA: $first_group"
    wrestool -x --type=$ICON_GROUP_TYPE --name=AAAA -o "$work/app.ico" "$exe"
    icons=$(icotool -l "$work/app.ico")
    for size in 32 16; do
      grep -qE -- "--width=$size --height=$size --bit-depth=4 " <<< "$icons" \
        || fail "icon group AAAA has no ${size}x${size} image at 4 bits per pixel: $icons"
    done
    wrestool -x --raw --type=$MANIFEST_TYPE -o "$work/manifest.xml" "$exe"
    [ -s "$work/manifest.xml" ] || fail "$(basename "$exe") has no manifest"
    # The name and the version in one assemblyIdentity element.
    identities=$(tr '\n' ' ' < "$work/manifest.xml" | grep -oE '<assemblyIdentity[^>]*>' || true)
    grep -E "$COMMON_CONTROLS_RE" <<< "$identities" | grep -qE "$COMMON_CONTROLS_VERSION_RE" \
      || fail "the manifest does not ask for Microsoft.Windows.Common-Controls 6.0.0.0: $(cat "$work/manifest.xml")"
    echo "$(basename "$exe"): icon group AAAA first, with 32x32 and 16x16 at 4 bits; common controls 6.0.0.0"
    ;;
  dpi-aware)
    [ $# -eq 2 ] || { echo "usage: check_exe.sh dpi-aware EXE" >&2; exit 2; }
    exe=$2
    manifest=$(wrestool -x --raw --type=$MANIFEST_TYPE "$exe")
    [ -n "$manifest" ] || fail "$(basename "$exe") has no manifest"
    # A list: Windows takes the first value it knows.
    awareness=$(windows_setting "$manifest" "$SETTINGS_2016_NS" dpiAwareness)
    [[ "$awareness" =~ ^[[:space:]]*PerMonitorV2[[:space:]]*(,|$) ]] \
      || fail "$(basename "$exe"): dpiAwareness is '$awareness', not PerMonitorV2 first: $manifest"
    aware=$(windows_setting "$manifest" "$SETTINGS_2005_NS" dpiAware)
    [ "$aware" = true/pm ] || fail "$(basename "$exe"): dpiAware is '$aware', not true/pm: $manifest"
    echo "$(basename "$exe"): dpiAwareness $awareness, dpiAware $aware"
    ;;
  *)
    echo "usage: check_exe.sh imports|subsystem|version|resources|dpi-aware ..." >&2
    exit 2
    ;;
esac
