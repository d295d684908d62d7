#!/usr/bin/env bash
# Builds the Windows release archive build-windows/update-<version>-windows-x64.zip:
#   update.exe, aktualisieren.exe     the programs (scripts/build-windows.sh)
#   README.txt                        the README, its Windows sections first (CRLF line ends)
#   update-manual.txt                 the manual page, rendered to plain text (CRLF)
#   licenses/                         the licences of bzip2, of the GCC runtime (libstdc++,
#                                     libgcc) with the GPL it refers to, and of the MinGW-w64
#                                     runtime, from the Debian packages that supplied them
#   SHA256SUMS                        the SHA-256 of every other file (sha256sum format)
# all in one folder update-<version>-windows-x64. Prints the archive's path.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-windows}
BUILD_DIR=$build bash scripts/build-windows.sh >/dev/null

need=()
command -v zip >/dev/null || need+=(zip)
command -v man >/dev/null || need+=(man-db)
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

version=$(sed -n 's/^project(update VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || {
  echo "release-windows: no version in CMakeLists.txt" >&2
  exit 1
}
name="update-$version-windows-x64"
stage="$build/release/$name"
rm -rf "$build/release" "$build/$name.zip"
mkdir -p "$stage/licenses"

crlf() { sed 's/\r*$/\r/'; }
# The section under the heading $1 down to the next heading of the same or a higher level.
section() {
  awk -v title="$1" '
    index($0, title) == 1 && length($0) == length(title) { on = 1; level = index($0, " "); print; next }
    on && /^#+ / && index($0, " ") <= level { exit }
    on { print }' README.md
}

cp "$build/update.exe" "$build/aktualisieren.exe" "$stage/"
{
  echo "update $version for Windows"
  echo
  echo "update.exe and aktualisieren.exe (German texts) run on 64-bit Windows without anything"
  echo "else installed. The Windows sections of the README come first; the whole README follows."
  echo
  section "### On Windows"
  section "## Windows"
  echo "======================================================================================"
  echo
  cat README.md
} | crlf >"$stage/README.txt"
LC_ALL=C MANWIDTH=80 man -l man/update.1 | crlf >"$stage/update-manual.txt"

crlf <"$build/deps/bzip2/LICENSE" >"$stage/licenses/bzip2-LICENSE.txt"
crlf </usr/share/doc/gcc-mingw-w64-base/copyright >"$stage/licenses/gcc-runtime-copyright.txt"
crlf </usr/share/common-licenses/GPL-3 >"$stage/licenses/GPL-3.txt"
crlf </usr/share/doc/mingw-w64-x86-64-dev/copyright \
  >"$stage/licenses/mingw-w64-runtime-copyright.txt"

(cd "$stage" && find . -type f | cut -c3- | sort | xargs sha256sum >../SHA256SUMS)
mv "$build/release/SHA256SUMS" "$stage/"
(cd "$build/release" && zip -qrX "../$name.zip" "$name")
echo "$build/$name.zip"
