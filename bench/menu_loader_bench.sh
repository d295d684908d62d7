#!/usr/bin/env bash
# End-to-end update of a 1 MiB image through the menu loaders against boxsim pacing the line at
# 115200 baud: the encoded download (box 2.0) and the compressed one (box 4.2). For each, the
# whole run of update and the transfer as the box saw it, against the line's bound for the bytes
# actually sent (10 bits per byte).
#
#   bash bench/menu_loader_bench.sh [BUILD_DIR]     (default: build-bench; needs update, boxsim)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
update="$build/update"
boxsim="$build/tools/boxsim"
for program in "$update" "$boxsim"; do
  [ -x "$program" ] || { echo "missing $program: build the project into $build first" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A 1 MiB PAD image that looks like box software: code from a small alphabet, zero-filled data
# and random tables, with a 5-byte tag for the box in question.
make_image() {  # hardware type, software id, output
  python3 - "$1" "$2" "$3" <<'EOF'
import random, struct, sys
hw, sw, out = int(sys.argv[1], 0), int(sys.argv[2], 0), sys.argv[3]
rng = random.Random(20240501)
code = [0x00, 0x00, 0x00, 0x27, 0xBD, 0xFF, 0xE0, 0xAF, 0xBF, 0x8F,
        0x03, 0xE0, 0x00, 0x08, 0x24, 0x02, 0x10, 0x00, 0x3C, 0x1C]
size = 1024 * 1024 - 13
payload = bytearray()
while len(payload) < size:
    kind, length = rng.randrange(10), 512 + rng.randrange(4096)
    if kind < 5:
        payload += bytes(rng.choice(code) for _ in range(length))
    elif kind < 8:
        payload += bytes(length)
    else:
        payload += rng.randbytes(length)
payload = bytes(payload[:size])
with open(out, "wb") as f:
    f.write(struct.pack(">IBI", len(payload), hw, sw) + payload +
            struct.pack(">I", sum(payload) & 0xFFFFFFFF))
EOF
}

run() {  # label, box version, hardware type, software id
  local label=$1 version=$2 hw=$3 sw=$4
  local image="$work/$label.pad" log="$work/$label.box.log"
  make_image "$hw" "$sw" "$image"
  "$boxsim" --version "$version" --hw "$hw" --pace --link "$work/tty" --expect "$image" \
    >/dev/null 2>"$log" &
  local box=$!
  for _ in $(seq 50); do [ -e "$work/tty" ] && break; sleep 0.1; done
  local start end
  start=$(date +%s.%N)
  if ! COM1="$work/tty" "$update" -p 1 "$image" >"$work/$label.out" 2>"$work/$label.err"; then
    echo "$label: update failed" >&2; cat "$work/$label.err" "$log" >&2; kill "$box" || true
    exit 1
  fi
  end=$(date +%s.%N)
  wait "$box" || { echo "$label: boxsim reported a problem" >&2; cat "$log" >&2; exit 1; }
  local transfer
  transfer=$(grep -o 'transfer: .*' "$log")
  # "transfer: N bytes in T ms (B ms at the line rate of 115200 baud)"
  read -r bytes ms bound < <(echo "$transfer" | sed -E 's/transfer: ([0-9]+) bytes in ([0-9]+) ms \(([0-9]+) ms.*/\1 \2 \3/')
  awk -v label="$label" -v bytes="$bytes" -v ms="$ms" -v bound="$bound" -v start="$start" \
      -v end="$end" 'BEGIN {
    printf "%-10s image 1048576 bytes, on the line %8d bytes: transfer %6.1f s, line bound %6.1f s (%.3f x), whole update %6.1f s\n",
           label, bytes, ms / 1000, bound / 1000, ms / bound, end - start }'
}

run encoded 2.0 2 0x00020000
run compressed 4.2 4 0x00040002
