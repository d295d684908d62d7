#!/usr/bin/env bash
# The streaming download of a 1 MiB image against boxsim playing a 24.4 box that paces the line
# at 115200 baud (11,520 bytes/s), once with update as the sender and once with lrzsz's sx.
#
# For each sender: the X-modem transfer as the box measured it (from the request that block 1
# answered to the EOT) against the line's bound of 133 bytes per 128-byte block (the block and
# one reply byte), also with the box's own reply time taken out (the time from the end of each
# block to the box's answer going out), the whole run (for update: image check, access,
# transfer, flash report), the sender's processor time (user + system) and the longest time the
# sender took to answer the box. sx needs the box's access and prompt done for it: a small helper performs them on the
# line first and then hands the line to sx as its standard input and output.
#
#   bash bench/streaming_bench.sh [BUILD_DIR]    (default: build-bench; built here in Release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DUPDATE_SANITIZE=OFF >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target update boxsim >/dev/null
update="$build/update"
boxsim="$build/tools/boxsim"
sx=$(command -v sx || command -v lrzsz-sx || true)
[ -n "$sx" ] || { echo "lrzsz's sx is missing (scripts/setup.sh installs it)" >&2; exit 2; }

work=$(mktemp -d)
box_pid=""
cleanup() {
    [ -n "$box_pid" ] && kill "$box_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# A 1 MiB image for hardware type 0x14, software id 24.4: one segment of random bytes.
python3 - "$work/image.pad" <<'EOF'
import random, struct, sys
size = 1024 * 1024 - 13
body = random.Random(4).randbytes(size - 48)
header = bytearray(48)
header[16:20] = struct.pack(">I", 0x00180004)
header[32:36] = struct.pack(">I", len(body))
payload = bytes(header) + body
with open(sys.argv[1], "wb") as f:
    f.write(struct.pack(">IBI", len(payload), 0x14, 0x00180004) + payload +
            struct.pack(">I", sum(payload) & 0xFFFFFFFF))
EOF

# Plays the program's side of the access on the line, waits for the prompt, then runs the
# given command with the line as its standard input and output. Prints the command's wall,
# user and system seconds.
cat >"$work/access_then.py" <<'EOF'
import os, select, sys, termios, time, tty
line, command = sys.argv[1], sys.argv[2:]
fd = os.open(line, os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd)
attrs = termios.tcgetattr(fd)
attrs[2] &= ~termios.CRTSCTS
attrs[4] = attrs[5] = termios.B115200
termios.tcsetattr(fd, termios.TCSANOW, attrs)

def read_until(text, limit_s):
    got, end = b"", time.monotonic() + limit_s
    while text not in got:
        ready, _, _ = select.select([fd], [], [], max(0.0, end - time.monotonic()))
        if not ready:
            sys.exit(f"access helper: no {text!r} (got {got[-60:]!r})")
        got += os.read(fd, 4096)

os.write(fd, b" korvane")
read_until(b"granted", 5)
time.sleep(0.3)
while select.select([fd], [], [], 0)[0]:
    os.read(fd, 4096)
for digit in b"01":
    os.write(fd, bytes([digit]))
    read_until(bytes([digit]), 2)
os.write(fd, b"\xaf\xfe")
read_until(b"Now start download", 10)
start = time.monotonic()
pid = os.fork()
if pid == 0:
    os.dup2(fd, 0)
    os.dup2(fd, 1)
    os.execvp(command[0], command)
_, status, usage = os.wait4(pid, 0)
print(f"{time.monotonic() - start:.2f} {usage.ru_utime:.2f} {usage.ru_stime:.2f}")
sys.exit(os.waitstatus_to_exitcode(status))
EOF

start_box() {  # log file
    rm -f "$work/tty"
    "$boxsim" --version 24.4 --hw 0x14 --pace --link "$work/tty" --save "$work/received.pad" \
        >/dev/null 2>"$1" &
    box_pid=$!
    for _ in $(seq 50); do [ -e "$work/tty" ] && break; sleep 0.1; done
    [ -e "$work/tty" ] || { echo "boxsim did not start" >&2; cat "$1" >&2; exit 1; }
}

finish_box() {  # label, log file
    wait "$box_pid" || { echo "$1: boxsim reported a problem" >&2; cat "$2" >&2; exit 1; }
    box_pid=""
    cmp -s "$work/image.pad" "$work/received.pad" ||
        { echo "$1: the box did not receive the image" >&2; exit 1; }
}

printf '%-7s %7s %11s %9s %7s %11s %9s %10s %7s %7s %13s\n' sender blocks "transfer s" \
    "bound s" ratio "box reply s" "w/o box" "whole s" "CPU s" "CPU %" "reply max ms"
report() {  # label, box log, wall, user, system
    awk -v label="$1" -v wall="$3" -v user="$4" -v sys="$5" '
        /X-modem transfer:/ {
            match($0, /transfer: [0-9]+ blocks in [0-9]+ ms \([0-9]+ ms/)
            split(substr($0, RSTART, RLENGTH), f, /[ (]+/)
            blocks = f[2]; ms = f[5]; bound = f[7]
            match($0, /box replies -?[0-9]+/); box = substr($0, RSTART + 12, RLENGTH - 12)
        }
        /reply latencies:/ { match($0, /longest [0-9.]+/); reply = substr($0, RSTART + 8, RLENGTH - 8) }
        END {
            printf "%-7s %7d %11.2f %9.2f %7.4f %11.2f %9.4f %10.2f %7.2f %7.2f %13.1f\n",
                   label, blocks, ms / 1000, bound / 1000, ms / bound, box / 1000,
                   (ms - box) / bound, wall, user + sys, 100 * (user + sys) / wall, reply
        }' "$2"
}

# update as the sender: the whole run, access and flash report included.
start_box "$work/update.box.log"
/usr/bin/time -f "%e %U %S" -o "$work/update.time" \
    env COM1="$work/tty" "$update" -p 1 "$work/image.pad" >"$work/update.out" 2>"$work/update.err" ||
    { echo "update failed" >&2; cat "$work/update.err" "$work/update.box.log" >&2; exit 1; }
finish_box update "$work/update.box.log"
read -r wall user sys <"$work/update.time"
report update "$work/update.box.log" "$wall" "$user" "$sys"

# sx as the sender: its own run, from the prompt to its end.
start_box "$work/sx.box.log"
python3 "$work/access_then.py" "$work/tty" "$sx" -b -q "$work/image.pad" \
    >"$work/sx.time" 2>"$work/sx.err" ||
    { echo "sx failed" >&2; cat "$work/sx.err" "$work/sx.box.log" >&2; exit 1; }
finish_box sx "$work/sx.box.log"
read -r wall user sys <"$work/sx.time"
report sx "$work/sx.box.log" "$wall" "$user" "$sys"
