#!/usr/bin/env bash
# Cross-compiles libbzip2 for Windows from Debian's own bzip2 source package (the upstream
# tarball with Debian's patches), since Debian has no MinGW build of the library.
#   bash scripts/bzip2-mingw.sh DIR   leaves DIR/lib/libbz2.a, DIR/include/bzlib.h, DIR/LICENSE
#                                     and DIR/SOURCE (the source package's name and version)
# Needs dpkg-dev, make and the MinGW-w64 C compiler (scripts/build-windows.sh installs them).
#
# The source comes through apt from the archives this machine already uses: a private source
# list holds a deb-src entry for each of the machine's deb entries, and only that list and apt's
# lists and cache folders are replaced, so every other apt setting (proxy, keyrings) still
# applies. apt checks each downloaded file against the archive's signed index.
set -euo pipefail
out=$(realpath -m "$1")
[ -f "$out/SOURCE" ] && exit 0

work="$out.work"
rm -rf "$work" "$out"
apt_dir="$work/apt"
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" \
  "$work/download"

# One-line entries: "deb [options] URI suite components" becomes "deb-src ...".
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  if [ -f "$f" ]; then sed -n 's/^[[:space:]]*deb\([[:space:]]\)/deb-src\1/p' "$f"; fi
done >"$apt_dir/sources.list"
# deb822 entries: a stanza whose types include deb fetches sources instead.
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  awk '/^Types:/ && / deb( |$)/ { print "Types: deb-src"; next } { print }' "$f" \
    >"$apt_dir/sources.list.d/$(basename "$f")"
done
apt_private=(-o Dir::Etc::sourcelist="$apt_dir/sources.list"
  -o Dir::Etc::sourceparts="$apt_dir/sources.list.d"
  -o Dir::State::lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache")
# apt fetches as its unprivileged user where it can write.
if [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1; then
  chown -R _apt "$apt_dir" "$work/download"
fi
apt-get "${apt_private[@]}" update -qq
(cd "$work/download" && apt-get "${apt_private[@]}" source --download-only -qq bzip2)
dsc=$(ls "$work"/download/bzip2_*.dsc)
# The files were checked against the signed index above; the .dsc's own signature is the
# uploader's, whose key need not be on this machine.
dpkg-source --no-check -x "$dsc" "$work/src" >/dev/null

# The library's own make target, with the flags Debian builds it with (less -Winline).
src="$work/src"
make -s -C "$src" libbz2.a CC=x86_64-w64-mingw32-gcc AR=x86_64-w64-mingw32-ar \
  RANLIB=x86_64-w64-mingw32-ranlib CFLAGS="-Wall -O2 -D_FILE_OFFSET_BITS=64" \
  CPPFLAGS=-D_REENTRANT >/dev/null
x86_64-w64-mingw32-ranlib "$src/libbz2.a"
mkdir -p "$out/lib" "$out/include"
cp "$src/libbz2.a" "$out/lib/"
cp "$src/bzlib.h" "$out/include/"
cp "$src/LICENSE" "$out/LICENSE"
basename "$dsc" .dsc >"$out/SOURCE"
echo "bzip2: $(cat "$out/SOURCE") from Debian's source package, built into $out" >&2
rm -rf "$work"
