#!/usr/bin/env bash
# Performance of every download family against boxsim pacing the line at 115200 baud, in one
# run, as one table: a 1 MiB image (the legacy loaders take at most 901,120 bytes (10.0) and
# 344,060 bytes after compression (11.x, 12.x): there the largest image they take), for each
#   - the transfer as boxsim saw it (from the box's log, stamped as it is written),
#   - the line's bound for the bytes the protocol must move at 10 bits per byte:
#       X-modem 133 bytes per 128 (the 132-byte block and the 1-byte reply),
#       block transfer the encoded or compressed size (the box's status characters travel the
#       other way at the same time),
#       legacy 257 bytes and one reply per 253 payload bytes,
#   - their ratio, and where boxsim tells it (24.4) the box's own reply time and the ratio
#     without it, the whole run of update and its processor time (user + system),
#   - the reply latency that boxsim sees (from its send to the program's next byte): median,
#     99th percentile and longest.
# The 24.4 streaming download also runs with the line trace on (UPDATE_TRACE).
# Then the 24.4 streaming and the 10.0 legacy download again behind a simulated USB serial
# adapter (boxsim --adapter-latency) with its latency timer at 16 ms (the drivers' default) and
# at 1 ms (what low latency gives): each of the box's answers waits in the adapter.
# Then bench/streaming_bench.sh runs update and lrzsz's sx against the same 24.4 box and file.
# Takes about 25 minutes; not part of the tests.
#
#   bash bench/bench_all.sh [BUILD_DIR]    (default: build-bench; built here in Release)
#   BENCH_ONLY=REGEX bash bench/bench_all.sh   only the rows whose label matches (no sx part)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DUPDATE_SANITIZE=OFF >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target update boxsim >/dev/null
update=$(realpath "$build/update")
boxsim=$(realpath "$build/tools/boxsim")
baud=115200

work=$(mktemp -d)
box_pid=""
cleanup() {
    [ -n "$box_pid" ] && kill "$box_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Writes a PAD image that looks like box software (code from a small alphabet, zero-filled data,
# random tables) with the legacy loaders' application mark at 0x4000. For a legacy 11.x/12.x
# loader (max_compressed > 0) the image is cut to the largest whose compressed rest fits.
make_image() {  # output, hardware type, software id, payload bytes, max_compressed
    python3 - "$@" <<'EOF'
import bz2, random, struct, sys
out, hw, sw, size, limit = sys.argv[1], int(sys.argv[2], 0), int(sys.argv[3], 0), \
    int(sys.argv[4]), int(sys.argv[5])
rng = random.Random(20240501)
code = [0x00, 0x00, 0x00, 0x27, 0xBD, 0xFF, 0xE0, 0xAF, 0xBF, 0x8F,
        0x03, 0xE0, 0x00, 0x08, 0x24, 0x02, 0x10, 0x00, 0x3C, 0x1C]
payload = bytearray()
while len(payload) < size:
    kind, length = rng.randrange(10), 512 + rng.randrange(4096)
    if kind < 5:
        payload += bytes(rng.choice(code) for _ in range(length))
    elif kind < 8:
        payload += bytes(length)
    else:
        payload += rng.randbytes(length)
payload = payload[:size]
payload[0x4000:0x4008] = bytes([0x00, 0x00, 0x1F, 0x38, 0x16, 0x00, 0x20, 0x00])
if limit:
    while 0x4000 + len(bz2.compress(bytes(payload[0x4000:]), 1)) > limit:
        payload = payload[:len(payload) - 4096]
payload = bytes(payload)
with open(out, "wb") as f:
    f.write(struct.pack(">IBI", len(payload), hw, sw) + payload +
            struct.pack(">I", sum(payload) & 0xFFFFFFFF))
print(len(payload) + 13)
EOF
}

# Runs boxsim with its log lines stamped (ms since the start) as they are written.
start_box() {  # log, boxsim options...
    local log=$1
    shift
    rm -f "$work/tty"
    ("$boxsim" --pace --link "$work/tty" "$@" 2>&1 >/dev/null |
        python3 -u -c '
import sys, time
start = time.monotonic()
for line in sys.stdin:
    sys.stdout.write(f"{(time.monotonic() - start) * 1000:.0f} {line}")
    sys.stdout.flush()' >"$log") &
    box_pid=$!
    for _ in $(seq 100); do [ -e "$work/tty" ] && break; sleep 0.1; done
    [ -e "$work/tty" ] || { echo "boxsim did not start" >&2; cat "$log" >&2; exit 1; }
}

# Milliseconds between the first log line matching FROM and the first after it matching TO.
log_span() {  # log, from, to
    awk -v from="$2" -v to="$3" '
        start == "" && $0 ~ from { start = $1; next }
        start != "" && $0 ~ to { print $1 - start; exit }' "$1"
}

printf '%-28s %9s %10s %9s %8s %7s %8s %8s %8s %7s %6s %9s %9s %9s\n' family image "on line" \
    "transfer" bound ratio "box repl" "w/o box" "whole" "CPU" "CPU%" "reply med" "reply p99" \
    "reply max"
printf '%-28s %9s %10s %9s %8s %7s %8s %8s %8s %7s %6s %9s %9s %9s\n' "" bytes bytes s s "" s \
    "" s s "" ms ms ms

# One update: family label, image, bound kind, start and end of the transfer in the box's log,
# update options, boxsim options.
run() {
    local label=$1 image=$2 kind=$3 from=$4 to=$5 options=$6
    shift 6
    if [ -n "${BENCH_ONLY:-}" ] && ! grep -Eq -- "$BENCH_ONLY" <<<"$label"; then
        return 0
    fi
    ran=yes
    local log="$work/$label.log"
    start_box "$log" "$@"
    # shellcheck disable=SC2086
    (cd "$work" && /usr/bin/time -f "%e %U %S" -o "$work/time" env COM1="$work/tty" \
        "$update" -p 1 $options "$image" >"$work/out" 2>"$work/err") ||
        { echo "$label: update failed" >&2; cat "$work/err" "$log" >&2; exit 1; }
    wait "$box_pid" || { echo "$label: boxsim reported a problem" >&2; cat "$log" >&2; exit 1; }
    box_pid=""
    local wall user sys transfer size line
    read -r wall user sys <"$work/time"
    size=$(stat -c %s "$image")
    case "$kind" in
        xmodem) line=$(( (size + 127) / 128 * 133 )) ;;
        legacy) line=$(grep -o 'length [0-9]* announced' "$log" | awk '{n = $2; p = int((n + 252) / 253); print n + 5 * p}') ;;
        *) line=$(grep -o 'transfer: [0-9]* bytes\|PAD image of [0-9]* bytes' "$log" | grep -o '[0-9]*' | head -1) ;;
    esac
    # The players of the streaming and menu loaders time the transfer themselves; for the others
    # the span between two of the box's log lines stands for it.
    # Reply latency only where the program answers the box (X-modem, legacy packets): in the
    # block transfer the program streams and the box's status characters need no answer.
    local latency="        -         -         -"
    if grep -q -- "--reply-latency-all" <<<"$*"; then
        latency=$(grep -o 'median [0-9.]* ms, p99 [0-9.]* ms, longest [0-9.]*' "$log" |
            awk '{printf "%9.3f %9.3f %9.1f", $2, $5, $8}')
    fi
    transfer=$(grep -o 'transfer: [0-9]* [a-z]* in [0-9]* ms' "$log" | awk '{print $5}' | head -1 || true)
    [ -n "$transfer" ] || transfer=$(log_span "$log" "$from" "$to")
    # The streaming player also tells its own reply time (from a block's end to its answer).
    local box
    box=$(grep -o 'box replies -\{0,1\}[0-9]* ms' "$log" | awk '{print $3}' || true)
    awk -v label="$label" -v size="$size" -v line="$line" -v ms="$transfer" -v baud="$baud" \
        -v wall="$wall" -v user="$user" -v sys="$sys" -v lat="$latency" -v box="$box" '
        BEGIN {
            bound = line * 10 / baud
            boxs = box == "" ? "       -" : sprintf("%8.2f", box / 1000)
            without = box == "" ? "       -" : sprintf("%8.4f", (ms - box) / 1000 / bound)
            printf "%-28s %9d %10d %9.2f %8.2f %7.4f %s %s %8.2f %7.2f %6.2f %s\n",
                   label, size, line, ms / 1000, bound, ms / 1000 / bound, boxs, without, wall,
                   user + sys, 100 * (user + sys) / wall, lat
        }'
}

# BENCH_BYTES: a smaller image for a quick look (the table's figures need the full size).
mib=${BENCH_BYTES:-$((1024 * 1024 - 13))}
legacy10=$((mib < 901120 ? mib : 901120))
make_image "$work/s24.pad" 0x14 0x00180004 "$mib" 0 >/dev/null
streaming24() {  # label, further boxsim options
    local label=$1
    shift
    ran=""
    run "$label" "$work/s24.pad" xmodem "Now start|version sent" "EOT after" "" \
        --version 24.4 --hw 0x14 --save "$work/got.pad" --reply-latency-all "$@"
    [ -z "$ran" ] || cmp -s "$work/s24.pad" "$work/got.pad" ||
        { echo "$label: image differs" >&2; exit 1; }
}
streaming24 "24.4 streaming X-modem"
# The same with the line trace on: the box's transfer time and the program's processor time
# beside the row above (the trace holds every byte, 7.0 MB for the 1 MiB image).
UPDATE_TRACE="$work/line.trace" streaming24 "24.4 X-modem, line trace"

make_image "$work/x53.pad" 4 0x00050003 "$mib" 0 >/dev/null
run "5.3 X-modem + verdict" "$work/x53.pad" xmodem "version sent" "EOT after" "" \
    --version 5.3 --hw 4 --pace-input --reply-latency-all

make_image "$work/m20.pad" 2 0x00020000 "$mib" 0 >/dev/null
run "2.0 block, encoded" "$work/m20.pad" block "menu choice" "transfer:" "" \
    --version 2.0 --hw 2 --expect "$work/m20.pad"

make_image "$work/m42.pad" 4 0x00040002 "$mib" 0 >/dev/null
run "4.2 block, compressed" "$work/m42.pad" block "menu choice" "transfer:" "" \
    --version 4.2 --hw 4 --expect "$work/m42.pad"

make_image "$work/l412.pad" 7 0x0004000C "$mib" 0 >/dev/null
run "4.12 block, plain" "$work/l412.pad" block "announcement" "PAD image of" "" \
    --version 4.12 --hw 7 --pace-input

make_image "$work/g10.pad" 4 0x000A0000 "$legacy10" 0 >/dev/null
legacy10() {  # label, further boxsim options
    run "$1" "$work/g10.pad" legacy "announced" "packets," "" \
        --version 10.0 --hw 4 --expect "$work/g10.pad" --pace-input --reply-latency-all "${@:2}"
}
legacy10 "10.0 legacy (901,120)"

make_image "$work/g11.pad" 4 0x000B0001 "$mib" 344060 >/dev/null
run "11.1 legacy, compressed" "$work/g11.pad" legacy "announced" "packets," "" \
    --version 11.1 --hw 4 --expect "$work/g11.pad" --pace-input --reply-latency-all

# Behind a USB adapter: the box's bytes reach the program in packets, 62 bytes or whatever the
# adapter holds when its latency timer expires.
for latency in 16 1; do
    streaming24 "24.4 X-modem, adapter ${latency} ms" --adapter-latency "$latency"
    legacy10 "10.0 legacy, adapter ${latency} ms" --adapter-latency "$latency"
done

[ -z "${BENCH_ONLY:-}" ] || exit 0
echo
echo "update and lrzsz's sx against the same 24.4 box (bench/streaming_bench.sh):"
if [ -f bench/streaming_bench.sh ]; then
    bash bench/streaming_bench.sh "$build"
else
    echo "bench/streaming_bench.sh is missing" >&2
fi
