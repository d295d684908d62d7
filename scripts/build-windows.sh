#!/usr/bin/env bash
# Cross-builds update.exe and aktualisieren.exe for Windows with MinGW-w64 on Debian.
#
# Debian has no MinGW build of libbzip2, so the library is compiled here from the sources that
# the npm registry's package node-bzip2 carries (lib/bzip2/), unpacked into the build tree only.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${BUILD_DIR:-build-windows}

need=()
command -v x86_64-w64-mingw32-g++ >/dev/null || need+=(g++-mingw-w64-x86-64)
command -v x86_64-w64-mingw32-gcc >/dev/null || need+=(gcc-mingw-w64-x86-64)
command -v cmake >/dev/null || need+=(cmake)
command -v npm >/dev/null || need+=(npm)
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

deps="$root/$build/deps"
bz="$deps/bzip2"
if [ ! -f "$bz/lib/libbz2.a" ]; then
  rm -rf "$deps" && mkdir -p "$deps" && cd "$deps"
  npm pack --silent node-bzip2@1.0.2 >/dev/null
  tar xzf node-bzip2-1.0.2.tgz
  src="$deps/package/lib/bzip2"
  echo '#define BZ_VERSION "1.0.8-node-bzip2"' > "$src/bz_version.h"
  mkdir -p "$bz/lib" "$bz/include" "$deps/obj"
  for f in blocksort huffman crctable randtable compress decompress bzlib; do
    x86_64-w64-mingw32-gcc -O2 -D_FILE_OFFSET_BITS=64 -c "$src/$f.c" -o "$deps/obj/$f.o"
  done
  x86_64-w64-mingw32-ar rcs "$bz/lib/libbz2.a" "$deps"/obj/*.o
  cp "$src/bzlib.h" "$bz/include/"
  cd "$root"
fi

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DUPDATE_TESTS=OFF \
  -DBZIP2_INCLUDE_DIR="$bz/include" -DBZIP2_LIBRARY_RELEASE="$bz/lib/libbz2.a" >/dev/null
cmake --build "$build" -j"$(nproc)"
ls -l "$build/update.exe" "$build/aktualisieren.exe"
