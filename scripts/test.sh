#!/usr/bin/env bash
# Sets up, checks the include direction of the layers, builds with the sanitizers and warnings as
# errors, runs clang-tidy, checks formatting and runs every test with ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build=${BUILD_DIR:-build-test}
# Includes against the direction of the layers fail before anything is built.
bash scripts/check-layers.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DUPDATE_SANITIZE=ON -DUPDATE_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
# clang-tidy's bugprone and performance checks over the program and tools/ (about 40 s on two
# cores; UPDATE_TIDY=0 leaves them out).
[ "${UPDATE_TIDY:-1}" = 0 ] || bash scripts/tidy.sh "$build"
bash scripts/check-format.sh
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "$@"
# Every fuzz target for a short bounded time under ASan/UBSan (UPDATE_FUZZ_SECONDS per target;
# 0 leaves the fuzzing out).
fuzz_seconds=${UPDATE_FUZZ_SECONDS:-10}
[ "$fuzz_seconds" = 0 ] || bash scripts/fuzz.sh --all "$fuzz_seconds"
[ "${UPDATE_PACKAGE_CHECK:-1}" = 0 ] || bash scripts/package-check.sh
# The Windows executables, cross-built and run under Wine against boxsim (UPDATE_WINE=0 skips).
if [ "${UPDATE_WINE:-1}" != 0 ]; then
  NATIVE_BUILD_DIR="$build" bash scripts/wine-e2e.sh
fi
