#!/usr/bin/env bash
# Packs a cross-built Windows tree for users: writes
#   BUILD_DIR/dist/talviro-measurement-VERSION-setup.exe        (NSIS, 64-bit)
#   BUILD_DIR/dist/talviro-measurement-VERSION-windows-x64.zip  (portable)
# with the same files: the five programs, logo.jpg beside them (the window
# reads it from its working folder), the exporter's alerting rules and
# dashboard, the licence, the README as text, and
# the DLLs the programs load that Windows does not have. The version is the
# build's own, checked against NEWS. The chip driver's ftd2xx.dll is never
# packed: Windows installs it with the FTDI D2XX driver, and the build
# tree's ftd2xx.dll is a simulated one for the tests.
#   packaging/windows/package.sh BUILD_DIR
# Needs makensis (nsis) and zip; packages.txt beside this file lists them.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)

readonly PACKAGE=talviro-measurement
readonly PROGRAMS=(talviro_gui.exe talviro_gui_demo.exe talviro_read.exe talviro_read_demo.exe
                  talviro_exporter.exe)
# Folders of the build tree where CMake may put the programs.
readonly PROGRAM_DIRS=(bin app cli exporter .)
# The chip vendor's driver DLL, in any letter case.
readonly DRIVER_DLL=ftd2xx.dll
readonly MINGW_LIB_DIR=/usr/x86_64-w64-mingw32/lib

die() {
  echo "package.sh: $*" >&2
  exit 1
}

for tool in makensis zip; do
  command -v "$tool" > /dev/null || die "$tool is missing: install the packages in $here/packages.txt"
done

# cache_value KEY: the value of KEY in the build's CMakeCache.txt.
cache_value() {
  sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt" | head -n 1
}

# build_tool KEY: the path of the build's tool KEY, from the cache or, for a
# compiler a toolchain file set, from what CMake wrote on the compiler; a
# bare name is looked up in PATH.
build_tool() {
  local tool
  tool=$(cache_value "$1")
  if [ -z "$tool" ]; then
    tool=$(sed -n "s/^set($1 \"\(.*\)\")$/\1/p" "$build"/CMakeFiles/*/CMakeCXXCompiler.cmake 2> /dev/null | head -n 1)
  fi
  [ -n "$tool" ] || die "$build/CMakeCache.txt names no $1"
  command -v "$tool" || die "the build's $1, $tool, is missing"
}

version=$(cmake -D BUILD_DIR="$build" -P "$here/version.cmake") || die "no version for $build"
source_dir=$(cache_value CMAKE_HOME_DIRECTORY)
cxx=$(build_tool CMAKE_CXX_COMPILER)
strip_tool=$(build_tool CMAKE_STRIP)
objdump_tool=$(build_tool CMAKE_OBJDUMP)

# find_program_file NAME: the one built NAME below the build tree.
find_program_file() {
  local found=() dir
  for dir in "${PROGRAM_DIRS[@]}"; do
    [ -f "$build/$dir/$1" ] && found+=("$build/$dir/$1")
  done
  [ ${#found[@]} -eq 1 ] || die "expected one $1 in $build/{$(IFS=,; echo "${PROGRAM_DIRS[*]}")}, found ${#found[@]}: build first"
  echo "${found[0]}"
}

is_driver_dll() {
  [ "${1,,}" = "$DRIVER_DLL" ]
}

# imported_dlls FILE: the DLLs a Windows program or DLL loads at start.
imported_dlls() {
  "$objdump_tool" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p'
}

# find_shipped_dll NAME: the path of a DLL that goes into the package, from
# beside the programs or from the compiler's runtime; nothing for a DLL of
# Windows itself (winspool.drv too), which the toolchain knows by its import
# library.
dll_dirs=()
find_shipped_dll() {
  local dir path lower=${1,,}
  for dir in "${dll_dirs[@]}"; do
    path=$(find "$dir" -maxdepth 1 -type f -iname "$1" | head -n 1)
    if [ -n "$path" ]; then
      echo "$path"
      return
    fi
  done
  path=$("$cxx" -print-file-name="$1")
  if [ "$path" != "$1" ] && [ -f "$path" ]; then
    realpath "$path"
    return
  fi
  # API sets such as api-ms-win-crt-runtime-l1-1-0.dll name parts of Windows.
  [[ $lower == api-ms-win-* ]] && return
  [ -f "$MINGW_LIB_DIR/lib${lower%.*}.a" ] || die "cannot find $1, which the programs load, and it is not part of Windows"
}

work="$build/windows-package"
stage="$work/$PACKAGE-$version-windows-x64"
dist="$build/dist"
setup="$dist/$PACKAGE-$version-setup.exe"
zip_file="$dist/$PACKAGE-$version-windows-x64.zip"
rm -rf "$work"
mkdir -p "$stage" "$dist"
rm -f "$setup" "$zip_file"

for program in "${PROGRAMS[@]}"; do
  path=$(find_program_file "$program")
  dll_dirs+=("$(dirname "$path")")
  cp "$path" "$stage/$program"
done

# The DLLs the programs need, and those these need in turn.
pending=("${PROGRAMS[@]}")
while [ ${#pending[@]} -gt 0 ]; do
  file=${pending[0]}
  pending=("${pending[@]:1}")
  while read -r dll; do
    if is_driver_dll "$dll"; then
      die "$file loads $dll at start; the programs must load the driver at run time, so that they start without it"
    fi
    [ -e "$stage/$dll" ] && continue
    path=$(find_shipped_dll "$dll")
    [ -n "$path" ] || continue
    cp "$path" "$stage/$dll"
    pending+=("$dll")
  done < <(imported_dlls "$stage/$file")
done
for file in "$stage"/*.exe; do
  "$strip_tool" --strip-all "$file"
done
for file in "$stage"/*.dll; do
  [ -e "$file" ] || continue
  "$strip_tool" --strip-unneeded "$file"
done

cp "$source_dir/assets/logo.jpg" "$stage/logo.jpg"
# The exporter's Prometheus alerting rules and Grafana dashboard.
cp "$source_dir/packaging/talviro-alerts.yml" "$source_dir/packaging/talviro-dashboard.json" "$stage/"
# Texts with Windows line ends, for Notepad and the licence page.
sed 's/$/\r/' "$source_dir/LICENSE" > "$stage/LICENSE.txt"
sed 's/$/\r/' "$source_dir/README.md" > "$stage/README.txt"

for file in "$stage"/*; do
  if is_driver_dll "$(basename "$file")"; then
    die "$file must not be packed"
  fi
done

# The setup program installs, and its uninstaller removes, exactly these.
"$here/make_setup.sh" "$stage" "$version" "$setup"

# The zip holds one folder, named as the package, with the same files.
(cd "$work" && TZ=UTC zip -q -X -r "$zip_file" "$(basename "$stage")")

echo "$setup"
echo "$zip_file"
