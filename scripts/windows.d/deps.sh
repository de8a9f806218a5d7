#!/usr/bin/env bash
# The recipe of the Windows libraries the cross build links, built with
# mingw-w64 into PREFIX (static libraries only):
#   zlib            Debian's libz-mingw-w64-dev, already in the mingw-w64 folder
#   libpng, libjpeg-turbo, wxWidgets 3.2, ncurses (wide)
#                   Debian's source packages, fetched with apt-get source from
#                   the suites in sources.list beside this file, through a
#                   private apt state under WORKDIR: the machine's own apt
#                   set-up is neither read for sources nor changed
#   GoogleTest      /usr/src/googletest (Debian's googletest)
# scripts/windows runs it into a folder named after a hash of this file,
# sources.list and the toolchain file, so that a change here builds a new one.
#
#   deps.sh PREFIX WORKDIR TOOLCHAIN_FILE
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: deps.sh PREFIX WORKDIR TOOLCHAIN_FILE" >&2
  exit 2
fi
prefix=$1
work=$2
toolchain=$3
here=$(cd "$(dirname "$0")" && pwd)

readonly HOST=x86_64-w64-mingw32
readonly JOBS=2
# Source packages with their Debian versions, so that this file says what
# the folder holds.
readonly PNG_SOURCE=libpng1.6=1.6.39-2+deb12u5
readonly JPEG_SOURCE=libjpeg-turbo=1:2.1.5-2
readonly WX_SOURCE=wxwidgets3.2=3.2.2+dfsg-2
readonly NCURSES_SOURCE=ncurses=6.4-4
readonly GTEST_SOURCE_DIR=/usr/src/googletest
# Terminal descriptions compiled into ncurses, since the Windows build has no
# terminfo database: Windows 10's console (ncurses takes it when TERM is
# unset) and the xterm a terminal emulator running Wine may pass on in TERM.
readonly NCURSES_FALLBACKS=ms-terminal,xterm-256color,xterm

export CC=$HOST-gcc-posix
export CXX=$HOST-g++-posix
export AR=$HOST-gcc-ar-posix
export RANLIB=$HOST-gcc-ranlib-posix
export NM=$HOST-gcc-nm-posix
export WINDRES=$HOST-windres
export RC=$HOST-windres
export STRIP=$HOST-strip
export CPPFLAGS="-I$prefix/include"
export LDFLAGS="-L$prefix/lib"
export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig
export PKG_CONFIG_PATH=

mkdir -p "$prefix" "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/src"

# --- sources -------------------------------------------------------------
apt_options=(
  -o "Dir::Etc::SourceParts=$here"
  -o Dir::Etc::SourceList=/dev/null
  -o "Dir::State::Lists=$work/apt/lists"
  -o "Dir::Cache=$work/apt/cache"
)
# As root apt would hand the download to its _apt user, who may not enter
# WORKDIR (under root's home, say).
[ "$(id -u)" -ne 0 ] || apt_options+=(-o APT::Sandbox::User=root)
echo "== deps: source package lists"
apt-get "${apt_options[@]}" -q update

# fetch NAME PACKAGE=VERSION: unpacks the source package, with Debian's
# patches applied, into $work/src/NAME and prints the tree's path.
fetch() {
  local name=$1 source=$2
  mkdir -p "$work/src/$name"
  (cd "$work/src/$name" && apt-get "${apt_options[@]}" -q source --only-source "$source") >&2
  local tree
  for tree in "$work/src/$name"/*/; do
    echo "${tree%/}"
    return
  done
  echo "deps: apt-get source $source left no source tree" >&2
  exit 1
}

# --- libpng ---------------------------------------------------------------
echo "== deps: libpng"
src=$(fetch png "$PNG_SOURCE")
(cd "$src" && ./configure --host=$HOST --prefix="$prefix" --disable-shared --enable-static \
   && make -j$JOBS && make install)

# --- libjpeg-turbo --------------------------------------------------------
echo "== deps: libjpeg-turbo"
src=$(fetch jpeg "$JPEG_SOURCE")
cmake -S "$src" -B "$work/build/jpeg" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DTALVIRO_MINGW_PREFIX="$prefix" -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release \
  -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF -DWITH_SIMD=ON \
  -DCMAKE_ASM_NASM_COMPILER=nasm -DCMAKE_INSTALL_DOCDIR="$work/build/jpeg-doc" \
  -DCMAKE_INSTALL_MANDIR="$work/build/jpeg-doc"
cmake --build "$work/build/jpeg" -j$JOBS
cmake --install "$work/build/jpeg"

# --- ncurses --------------------------------------------------------------
# The Windows console through ncurses' terminal driver, as its README.MinGW
# describes; wide characters for the --watch view's sparklines.
echo "== deps: ncurses"
src=$(fetch ncurses "$NCURSES_SOURCE")
(cd "$src" && PATH_SEPARATOR=";" ./configure --host=$HOST --build="$(gcc -dumpmachine)" \
   --prefix="$prefix" --with-build-cc=gcc \
   --disable-shared --with-normal --without-debug --without-profile \
   --without-cxx --without-cxx-binding --without-ada --without-progs --without-tests \
   --without-manpages --without-libtool \
   --enable-widec --enable-sp-funcs --enable-term-driver --enable-exp-win32 \
   --enable-ext-funcs --enable-opaque-curses --disable-macros \
   --disable-database --disable-db-install --disable-termcap --disable-home-terminfo \
   --with-fallbacks=$NCURSES_FALLBACKS --with-tic-path=/usr/bin/tic --with-infocmp-path=/usr/bin/infocmp \
   --enable-pc-files --with-pkg-config-libdir="$prefix/lib/pkgconfig" \
   --disable-overwrite && make -j$JOBS && make install)
# Without NCURSES_STATIC the headers declare every function as imported from
# a DLL, which this static build does not have.
sed -i 's/^Cflags:/Cflags: -DNCURSES_STATIC/' "$prefix"/lib/pkgconfig/*w.pc

# --- wxWidgets ------------------------------------------------------------
# MSW port, static; the libraries above for images, the builtin regex, and
# none of the libraries and controls the program has no use for.
echo "== deps: wxWidgets"
src=$(fetch wx "$WX_SOURCE")
mkdir -p "$work/build/wx"
(cd "$work/build/wx" && "$src/configure" --host=$HOST --prefix="$prefix" \
   --with-msw --disable-shared --disable-tests --without-subdirs \
   --with-zlib=sys --with-libpng=sys --with-libjpeg=sys --without-libtiff --without-expat \
   --with-regex=builtin --without-opengl --without-liblzma --without-libcurl \
   --disable-html --disable-htmlhelp --disable-help --disable-mshtmlhelp --disable-xrc \
   --disable-aui --disable-propgrid --disable-ribbon --disable-stc --disable-richtext \
   --disable-webview --disable-mediactrl --disable-webrequest --disable-sound \
   --disable-protocols --disable-url --disable-fs_inet --disable-sockets --disable-ipc \
   --disable-debugreport --disable-docview --disable-mdi --disable-mdidoc \
   --disable-postscript --disable-printarch --disable-svg --disable-grid \
   --disable-dataviewctrl --disable-calendar --disable-datepick --disable-timepick \
   --disable-treelist --disable-joystick --disable-wizarddlg --disable-aboutdlg \
   && make -j$JOBS && make install)

# --- GoogleTest -----------------------------------------------------------
echo "== deps: GoogleTest"
cmake -S "$GTEST_SOURCE_DIR" -B "$work/build/gtest" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DTALVIRO_MINGW_PREFIX="$prefix" -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release \
  -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON
cmake --build "$work/build/gtest" -j$JOBS
cmake --install "$work/build/gtest"

echo "== deps: done"
