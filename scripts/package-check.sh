#!/usr/bin/env bash
# Builds the Debian package in its own release build (no tests, no sanitizers), installs it with
# dpkg -i and checks that the installed programs and manual pages answer: update -V,
# aktualisieren -V, padtool --help, trace-diff on two small traces, man -w update. A package
# that was not installed before is removed again afterwards. Needs root for dpkg (or sudo
# without a password); set UPDATE_PACKAGE_CHECK=0 for scripts/test.sh to skip this check.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${PACKAGE_BUILD_DIR:-build-package}

fail() {
    echo "package-check: $*" >&2
    exit 1
}
as_root=()
if [ "$(id -u)" -ne 0 ]; then
    sudo -n true 2>/dev/null || fail "dpkg -i needs root (or UPDATE_PACKAGE_CHECK=0 to skip)"
    as_root=(sudo -n)
fi

# One check at a time per machine: the package database and the build directory are shared.
exec 9>"${TMPDIR:-/tmp}/update-package-check.lock"
flock 9

if ! command -v man >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    "${as_root[@]}" apt-get update -qq
    "${as_root[@]}" apt-get install -y -qq --no-install-recommends man-db >/dev/null
fi

echo "==> Building the package in $build/"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DUPDATE_TESTS=OFF -DUPDATE_SANITIZE=OFF \
    -DUPDATE_WERROR=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
rm -f "$build"/update_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/update_*.deb)
[ -f "${debs[0]}" ] || fail "cpack made no package"
deb=${debs[0]}

was_installed=0
dpkg -s update >/dev/null 2>&1 && was_installed=1
remove() {
    [ "$was_installed" -eq 1 ] || "${as_root[@]}" dpkg -r update >/dev/null 2>&1 || true
}
trap remove EXIT

echo "==> Installing $deb"
# Minimal images may exclude manual pages from every package; this package's pages are part of
# what is checked, so they are taken in. A dpkg run of someone else is waited for.
installed=0
for _ in $(seq 30); do
    if "${as_root[@]}" dpkg -i --path-include='/usr/share/man/man1/*' "$deb" \
        >/dev/null 2>"$build/dpkg.err"; then
        installed=1
        break
    fi
    grep -q "lock" "$build/dpkg.err" || break
    sleep 2
done
[ "$installed" -eq 1 ] || fail "dpkg -i failed: $(cat "$build/dpkg.err")"

expect_first_line() {
    local expected=$1
    shift
    local first
    first=$("$@" 2>&1 | head -n 1) || true
    [ "$first" = "$expected" ] || fail "$*: first line \"$first\", expected \"$expected\""
    echo "    $*: $first"
}
version=$(sed -n 's/^project(update VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
expect_first_line "update $version" /usr/bin/update -V
expect_first_line "aktualisieren $version" /usr/bin/aktualisieren -V
expect_first_line "usage: padtool info FILE..." /usr/bin/padtool --help
/usr/bin/boxsim --help >/dev/null || fail "boxsim --help failed"
# trace-diff is found on the path and tells equal byte streams from different ones.
traces=$(mktemp -d)
printf '0 prog>box 55 aa 01\n# a comment\n4 box>prog 06\n' >"$traces/prog.trace"
printf '0 prog>box 55 aa\n2 prog>box 01\n9 box>prog 06\n' >"$traces/box.trace"
printf '0 prog>box 55 ab 01\n4 box>prog 06\n' >"$traces/other.trace"
expect_first_line "same bytes: 3 bytes prog>box, 1 bytes box>prog" \
    trace-diff "$traces/prog.trace" "$traces/box.trace"
status=0
trace-diff "$traces/prog.trace" "$traces/other.trace" >/dev/null || status=$?
rm -rf "$traces"
[ "$status" -eq 1 ] || fail "trace-diff on different traces: exit status $status, expected 1"
[ "$(command -v trace-diff)" = /usr/bin/trace-diff ] || fail "trace-diff is not /usr/bin/trace-diff"
for page in update aktualisieren padtool boxsim; do
    path=$(man -w "$page" 2>/dev/null) || fail "man -w $page finds no manual page"
    case "$path" in
    /usr/share/man/man1/*) echo "    man -w $page: $path" ;;
    *) fail "man -w $page: $path is not the installed page" ;;
    esac
done
echo "package: OK ($(basename "$deb"))"
