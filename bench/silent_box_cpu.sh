#!/usr/bin/env bash
# Processor time that update uses while the box stays silent: update runs on a pseudo-terminal
# whose other side never answers, for SECONDS per case, and its user + system time is read from
# /proc. Cases: the synchronisation stage (image for a 24.4 box), the version query without
# keyword (-b) and a raw image (-i).
#
#   bash bench/silent_box_cpu.sh [BUILD_DIR] [SECONDS]   (default: build-bench, 20; needs update
#                                                         and padtool)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
seconds=${2:-20}
update="$build/update"
padtool="$build/tools/padtool/padtool"
for program in "$update" "$padtool"; do
  [ -x "$program" ] || { echo "missing $program: build the project into $build first" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 100000 /dev/urandom >"$work/payload.bin"
"$padtool" make --hw 0x14 --sw 24.4 "$work/payload.bin" -o "$work/image.pad" >/dev/null

run_silent() {  # seconds, program and arguments
  python3 - "$@" <<'EOF'
import os, pty, subprocess, sys, time
seconds, args = float(sys.argv[1]), sys.argv[2:]
master, slave = pty.openpty()
path = os.ttyname(slave)
os.close(slave)
start = time.monotonic()
program = subprocess.Popen(args, env=dict(os.environ, COM1=path), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
os.set_blocking(master, False)
while time.monotonic() - start < seconds:  # take what the program sends, never answer
    time.sleep(0.2)
    try:
        while os.read(master, 4096):
            pass
    except (BlockingIOError, OSError):
        pass
with open(f"/proc/{program.pid}/stat") as stat:
    fields = stat.read().rsplit(")", 1)[1].split()
cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
wall = time.monotonic() - start
program.kill()
program.wait()
print(f"{' '.join(os.path.basename(a) for a in args)}: {wall:.1f} s, "
      f"{cpu * 1000:.0f} ms processor time = {100 * cpu / wall:.2f} % of a core")
EOF
}

run_silent "$seconds" "$update" -p 1 "$work/image.pad"
run_silent "$seconds" "$update" -p 1 -b "$work/image.pad"
run_silent "$seconds" "$update" -p 1 -i "$work/payload.bin"
