#!/usr/bin/env bash
# Runs clang-tidy (Debian's clang-tidy, version 14) with the root .clang-tidy over the sources of
# the program's folders and of tools/, with the compile commands of a build directory. Only the
# sources that build directory compiles are checked (on Linux: not the Win32 halves). Fails on
# any finding.
#
#   scripts/tidy.sh [BUILD_DIR]    default: $BUILD_DIR or build-test; configured here (Debug)
#                                  when it has no compile_commands.json yet
#   TIDY_JOBS                      parallel clang-tidy runs (default: the number of cores)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-${BUILD_DIR:-build-test}}
case "$build" in /*) ;; *) build="$root/$build" ;; esac

if ! command -v clang-tidy-14 >/dev/null; then
  echo "tidy: installing clang-tidy" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >/dev/null
  apt-get install -y -qq --no-install-recommends clang-tidy >/dev/null
fi
if [ ! -f "$build/compile_commands.json" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi

files=()
while IFS= read -r f; do
  grep -qF "\"file\": \"$root/$f\"" "$build/compile_commands.json" && files+=("$f")
done < <(git ls-files 'frontend/*.cpp' 'serial/*.cpp' 'image/*.cpp' 'protocols/*.cpp' \
                      'platform/*.cpp' 'tools/*.cpp')
[ ${#files[@]} -gt 0 ] || { echo "tidy: no sources in $build/compile_commands.json" >&2; exit 2; }

# The compiler's own warnings are the build's business: -Wno-error keeps the -Werror of a test
# build from turning clang's (which differ from GCC's) into failures here. clang-tidy reports the
# suppressed warnings on standard error ("N warnings generated."); only the findings count.
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
status=0
printf '%s\n' "${files[@]}" |
  xargs -P "${TIDY_JOBS:-$(nproc)}" -n 2 \
    clang-tidy-14 -p "$build" --quiet --extra-arg=-Wno-error 2>"$errors" || status=$?
grep -v -E '^[0-9]+ warnings? generated\.$' "$errors" >&2 || true
if [ "$status" -ne 0 ]; then
  echo "tidy: findings in the sources above (${#files[@]} files checked)" >&2
  exit 1
fi
echo "tidy: OK (${#files[@]} files)"
