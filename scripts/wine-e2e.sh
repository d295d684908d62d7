#!/usr/bin/env bash
# Builds the Windows executables and runs the end-to-end scenarios under Wine against boxsim.
#   bash scripts/wine-e2e.sh           every scenario
#   bash scripts/wine-e2e.sh --smoke   a short subset (what CI runs)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
need=()
command -v wine >/dev/null || need+=(wine wine64)
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
BUILD_DIR=${WINDOWS_BUILD_DIR:-build-windows} bash scripts/build-windows.sh >/dev/null
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
python3 tests/wine/wine_e2e.py "${WINDOWS_BUILD_DIR:-build-windows}" "$native/tools/boxsim" "$@"
