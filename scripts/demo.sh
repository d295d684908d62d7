#!/usr/bin/env bash
# A full simulated update: installs what is needed, builds the program, the box simulator and
# padtool (the README's next steps use all three from build/), makes a sample image for
# hardware type 0x14 and bootloader 24.4, lets boxsim play a 24.4 box on a pseudo-terminal at
# the real line rate, and runs `update` against it through COM1.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

build=${BUILD_DIR:-build}
echo "==> Building (release) into $build/"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DUPDATE_SANITIZE=OFF >/dev/null
cmake --build "$build" -j"${JOBS:-$(nproc)}" --target update boxsim padtool >/dev/null

work=$(mktemp -d)
boxsim_pid=""
cleanup() {
    if [ -n "$boxsim_pid" ] && kill -0 "$boxsim_pid" 2>/dev/null; then
        kill "$boxsim_pid" 2>/dev/null || true
        wait "$boxsim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

echo "==> Making a sample image: hardware type 0x14, software id 0x00180004 (24.4)"
# PAD layout: payload length, tag (hardware type, software id), payload, byte sum of the payload.
# The payload is one segment: a 48-byte header (software id at 16, body length at 32) and body.
python3 - "$work/sample.pad" <<'EOF'
import struct, sys
software_id = 0x00180004
body = bytes((i * 37 + 11) & 0xFF for i in range(4096))
header = bytearray(48)
header[16:20] = struct.pack(">I", software_id)
header[32:36] = struct.pack(">I", len(body))
payload = bytes(header) + body
image = (struct.pack(">I", len(payload)) + bytes([0x14]) + struct.pack(">I", software_id)
         + payload + struct.pack(">I", sum(payload) & 0xFFFFFFFF))
with open(sys.argv[1], "wb") as f:
    f.write(image)
print(f"    {sys.argv[1]}: {len(image)} bytes")
EOF

echo "==> Starting boxsim as a 24.4 box (hardware type 0x14), pacing at 115200 baud"
"$build/tools/boxsim" --version 24.4 --hw 0x14 --pace --link "$work/box" \
    --save "$work/received.pad" >"$work/boxsim.out" 2>"$work/boxsim.log" &
boxsim_pid=$!
for _ in $(seq 50); do
    [ -L "$work/box" ] && break
    sleep 0.1
done
[ -L "$work/box" ] || { echo "boxsim did not start:"; cat "$work/boxsim.log"; exit 1; }
echo "    the box's line: $(head -n1 "$work/boxsim.out") (COM1=$work/box)"

echo "==> COM1=$work/box $build/update -p 1 sample.pad"
echo
set +e
COM1="$work/box" "$build/update" -p 1 "$work/sample.pad"
code=$?
set -e
echo "==> update exit code: $code"

box_code=0
wait "$boxsim_pid" || box_code=$?
boxsim_pid=""
echo "==> boxsim's log (exit status $box_code):"
sed 's/^/    /' "$work/boxsim.log"
if cmp -s "$work/sample.pad" "$work/received.pad"; then
    echo "==> The box received the image byte for byte."
else
    echo "==> The box did NOT receive the image unchanged."
    code=1
fi

echo
echo "==> $build/update -V"
"$build/update" -V
echo "==> Built: $build/update, $build/tools/boxsim, $build/tools/padtool/padtool"
exit "$code"
