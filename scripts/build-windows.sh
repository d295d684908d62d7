#!/usr/bin/env bash
# Cross-builds update.exe and aktualisieren.exe for Windows with MinGW-w64 on Debian, statically
# linked against libbzip2 built from Debian's bzip2 source package (scripts/bzip2-mingw.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-windows}

need=()
command -v x86_64-w64-mingw32-g++ >/dev/null || need+=(g++-mingw-w64-x86-64)
command -v x86_64-w64-mingw32-gcc >/dev/null || need+=(gcc-mingw-w64-x86-64)
command -v cmake >/dev/null || need+=(cmake)
command -v make >/dev/null || need+=(make)
command -v dpkg-source >/dev/null || need+=(dpkg-dev)
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

bz="$(pwd)/$build/deps/bzip2"
bash scripts/bzip2-mingw.sh "$bz"

cmake -S . -B "$build" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DUPDATE_TESTS=OFF \
  -DBZIP2_INCLUDE_DIR="$bz/include" -DBZIP2_LIBRARY_RELEASE="$bz/lib/libbz2.a" >/dev/null
cmake --build "$build" -j"$(nproc)"
ls -l "$build/update.exe" "$build/aktualisieren.exe"
