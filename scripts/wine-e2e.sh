#!/usr/bin/env bash
# Builds the Windows release archive, unpacks it into a fresh folder, checks its files against
# its SHA256SUMS and runs the end-to-end scenarios under Wine against boxsim from the unpacked
# executables.
#   bash scripts/wine-e2e.sh           every scenario
#   bash scripts/wine-e2e.sh --smoke   a short subset (what CI runs)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
need=()
command -v wine >/dev/null || need+=(wine wine64)
command -v unzip >/dev/null || need+=(unzip)
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
zip=$(BUILD_DIR=${WINDOWS_BUILD_DIR:-build-windows} bash scripts/release-windows.sh)
unpacked=$(mktemp -d "${TMPDIR:-/tmp}/update-release.XXXXXX")
trap 'rm -rf "$unpacked"' EXIT
unzip -q "$zip" -d "$unpacked"
release="$unpacked/$(basename "$zip" .zip)"
(
  cd "$release"
  sha256sum --quiet -c SHA256SUMS
  # Every file is listed, and what a technician needs is there.
  diff <(cut -d' ' -f3- SHA256SUMS | sort) <(find . -type f ! -name SHA256SUMS | cut -c3- | sort)
  for f in update.exe aktualisieren.exe README.txt update-manual.txt licenses/bzip2-LICENSE.txt \
    licenses/gcc-runtime-copyright.txt licenses/mingw-w64-runtime-copyright.txt; do
    [ -s "$f" ] || { echo "release: $f is missing" >&2; exit 1; }
  done
  ! grep -qv $'\r$' README.txt update-manual.txt || { echo "release: LF-only lines" >&2; exit 1; }
  # The library's own version text, not one typed into the build.
  grep -q "1.0.8, 13-Jul-2019" update.exe || { echo "release: no bzip2 1.0.8 inside" >&2; exit 1; }
)
echo "release: $zip unpacked and checked"
# boxsim runs natively; reuse an existing build tree when one is named.
native=${NATIVE_BUILD_DIR:-build}
if [ ! -f "$native/CMakeCache.txt" ]; then
  cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$native" -j"$(nproc)" --target boxsim >/dev/null

export WINEPREFIX=${WINEPREFIX:-$HOME/.wine-update-e2e}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=d;mshtml=d"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Initialising the Wine prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1 || true
fi
python3 tests/wine/wine_e2e.py "$release" "$native/tools/boxsim" "$@"
