#!/usr/bin/env bash
# The line trace's cost where it is highest: the 24.4 update of a 1 MiB image against boxsim
# without pacing (the program sends as fast as the pseudo-terminal takes it), three times each
# without and with UPDATE_TRACE: the whole run, the program's processor time (user + system)
# and the size of the trace. Not part of the tests.
#
#   bash bench/line_trace_cost.sh [BUILD_DIR]    (default build-bench, with update, boxsim, padtool)
set -euo pipefail
build=$(realpath "${1:-build-bench}")
work=$(mktemp -d)
head -c $((1024 * 1024 - 13)) /dev/urandom > "$work/p.bin"
"$build/tools/padtool/padtool" make --hw 14 --sw 24.4 "$work/p.bin" -o "$work/s.pad" >/dev/null
for round in 1 2 3; do
  for mode in plain trace; do
    rm -f "$work/tty" "$work/line.trace"
    "$build/tools/boxsim" --version 24.4 --hw 0x14 --link "$work/tty" >/dev/null 2>"$work/box.log" &
    for _ in $(seq 50); do [ -e "$work/tty" ] && break; sleep 0.1; done
    extra=()
    [ "$mode" = trace ] && extra=(UPDATE_TRACE="$work/line.trace")
    # The child's rusage in microseconds (/usr/bin/time shows only hundredths).
    (cd "$work" && env COM1="$work/tty" "${extra[@]}" python3 -c '
import resource, subprocess, sys, time
start = time.monotonic()
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
used = resource.getrusage(resource.RUSAGE_CHILDREN)
print(f"{time.monotonic() - start:.3f} {used.ru_utime:.6f} {used.ru_stime:.6f}")' \
        "$build/update" "$work/s.pad" >"$work/time")
    wait
    read -r wall user sys < "$work/time"
    size=$( [ -f "$work/line.trace" ] && stat -c %s "$work/line.trace" || echo 0)
    awk -v r="$round" -v m="$mode" -v w="$wall" -v u="$user" -v s="$sys" -v z="$size" \
        'BEGIN { printf "%s %-5s whole %6.3f s  CPU %6.3f s (%4.1f %%)  trace %d bytes\n", r, m, w, u + s, 100 * (u + s) / w, z }'
  done
done
rm -rf "$work"
