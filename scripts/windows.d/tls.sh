#!/usr/bin/env bash
# The recipe of the Windows libraries talviro_exporter's --web.config.file
# needs, built with mingw-w64 into PREFIX (static libraries only), from
# Debian's source packages as deps.sh fetches its own (the suites in
# sources.list beside this file, through a private apt state under WORKDIR):
#   OpenSSL 3       TLS, and the digest of remembered credentials
#   yaml-cpp        the web config file's YAML
#   Botan 2         bcrypt (libxcrypt, the Linux build's, does not target
#                   Windows): a minimized build of its bcrypt module alone
# scripts/windows builds it after deps.sh, into a folder of its own named
# after a hash of this file, sources.list and the toolchain file, so that a
# change here rebuilds these and not the libraries deps.sh makes.
#
#   tls.sh PREFIX WORKDIR TOOLCHAIN_FILE
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: tls.sh PREFIX WORKDIR TOOLCHAIN_FILE" >&2
  exit 2
fi
prefix=$1
work=$2
toolchain=$3
here=$(cd "$(dirname "$0")" && pwd)

readonly HOST=x86_64-w64-mingw32
readonly JOBS=2
readonly OPENSSL_SOURCE=openssl=3.0.20-1~deb12u2
readonly YAML_SOURCE=yaml-cpp=0.7.0+dfsg-8
readonly BOTAN_SOURCE=botan=2.19.3+dfsg-1+deb12u1
# What the exporter does not use of OpenSSL, left out to cut the build:
# engines and loadable modules, DTLS, and ciphers, digests and protocols no
# TLS 1.2 or 1.3 server of ours offers. (OpenSSL 3.0 has no no-apps or
# no-docs: the build_libs and install_dev targets leave the openssl program
# and the manuals out.)
readonly OPENSSL_LEFT_OUT=(
  no-shared no-tests no-module no-legacy no-engine no-dso
  no-afalgeng no-capieng no-padlockeng no-comp no-dtls no-ssl3 no-srp no-ts no-cms
  no-aria no-bf no-camellia no-cast no-idea no-md4 no-mdc2 no-rc2 no-rc4 no-rc5
  no-rmd160 no-seed no-sm2 no-sm3 no-sm4 no-whirlpool no-siphash no-scrypt
)

export CC=$HOST-gcc-posix
export CXX=$HOST-g++-posix
export AR=$HOST-gcc-ar-posix
export RANLIB=$HOST-gcc-ranlib-posix
export NM=$HOST-gcc-nm-posix
export RC=$HOST-windres
export WINDRES=$HOST-windres

mkdir -p "$prefix" "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/src"

# --- sources -------------------------------------------------------------
apt_options=(
  -o "Dir::Etc::SourceParts=$here"
  -o Dir::Etc::SourceList=/dev/null
  -o "Dir::State::Lists=$work/apt/lists"
  -o "Dir::Cache=$work/apt/cache"
)
[ "$(id -u)" -ne 0 ] || apt_options+=(-o APT::Sandbox::User=root)
echo "== tls: source package lists"
apt-get "${apt_options[@]}" -q update

# fetch NAME PACKAGE=VERSION: as deps.sh's.
fetch() {
  local name=$1 source=$2
  mkdir -p "$work/src/$name"
  (cd "$work/src/$name" && apt-get "${apt_options[@]}" -q source --only-source "$source") >&2
  local tree
  for tree in "$work/src/$name"/*/; do
    echo "${tree%/}"
    return
  done
  echo "tls: apt-get source $source left no source tree" >&2
  exit 1
}

# --- Botan 2: bcrypt ------------------------------------------------------
# --minimized-build takes the modules named and what they need, nothing else.
echo "== tls: Botan (bcrypt)"
src=$(fetch botan "$BOTAN_SOURCE")
(cd "$src" && python3 ./configure.py --os=mingw --cpu=x86_64 --cc=gcc --cc-bin="$CXX" \
   --ar-command="$AR" --prefix="$prefix" --minimized-build --enable-modules=bcrypt \
   --disable-shared-library --build-targets=static --without-documentation \
   && make -j$JOBS && make install)

# --- yaml-cpp ---------------------------------------------------------------
echo "== tls: yaml-cpp"
src=$(fetch yaml "$YAML_SOURCE")
cmake -S "$src" -B "$work/build/yaml" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DTALVIRO_MINGW_PREFIX="$prefix" -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release \
  -DYAML_BUILD_SHARED_LIBS=OFF -DYAML_CPP_BUILD_TESTS=OFF -DYAML_CPP_BUILD_TOOLS=OFF \
  -DYAML_CPP_BUILD_CONTRIB=OFF -DYAML_CPP_INSTALL=ON
cmake --build "$work/build/yaml" -j$JOBS
cmake --install "$work/build/yaml"

# --- OpenSSL 3 --------------------------------------------------------------
# Headers and static libraries only (install_dev), into lib/ rather than the
# mingw64 target's lib64/.
echo "== tls: OpenSSL"
src=$(fetch openssl "$OPENSSL_SOURCE")
(cd "$src" && ./Configure mingw64 --prefix="$prefix" --libdir=lib "${OPENSSL_LEFT_OUT[@]}" \
   && make -j$JOBS build_libs && make install_dev)

echo "== tls: done"
