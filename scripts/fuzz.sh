#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-14, AddressSanitizer and UndefinedBehaviorSanitizer in
# their own build directory and runs them on their seed corpora.
#
#   scripts/fuzz.sh TARGET SECONDS     run one target (pad_image, wait_for, ...; see --list)
#   scripts/fuzz.sh --all SECONDS      run every target, FUZZ_JOBS at a time, print the executions
#   scripts/fuzz.sh --list             the targets
#
# New inputs go to the build directory, never into fuzz/corpus (the seeds in the repository are
# made by fuzz/make_seeds.py). A crash leaves its input in $FUZZ_BUILD_DIR/artifacts and makes
# the script fail. FUZZ_BUILD_DIR (default build-fuzz), FUZZ_JOBS (build jobs and targets run at
# once, default nproc).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${FUZZ_BUILD_DIR:-build-fuzz}
case "$build" in /*) ;; *) build="$root/$build" ;; esac

targets=(pad_image stamped_image legacy_image compressed_image options verdict_lines
         version_line wait_for block_replies)

usage() {
    sed -n '2,12s/^# \{0,1\}//p' "$0" >&2
    exit 2
}

install_clang() {
    if command -v clang++-14 >/dev/null &&
       ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
        return
    fi
    echo "fuzz: installing clang-14 and libclang-rt-14-dev" >&2
    apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-14 libclang-rt-14-dev >/dev/null
}

build_targets() {
    install_clang
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_COMPILER=clang++-14 -DUPDATE_FUZZ=ON -DUPDATE_TESTS=OFF >/dev/null
    cmake --build "$build" -j"${FUZZ_JOBS:-$(nproc)}" --target "$@" >/dev/null
}

# Runs one built target for SECONDS; prints "TARGET EXECUTIONS" on the last line of its log.
run_target() {
    local name=$1 seconds=$2
    local seeds="$root/fuzz/corpus/$name" found="$build/found/$name" log="$build/logs/$name.log"
    mkdir -p "$found" "$build/artifacts" "$build/logs"
    local dirs=("$found")
    [ -d "$seeds" ] && dirs+=("$seeds")
    local status=0
    "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=16384 -close_fd_mask=3 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$name-" "${dirs[@]}" >"$log" 2>&1 || status=$?
    local runs
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    echo "$name ${runs:-0}"
    if [ "$status" -ne 0 ]; then
        echo "fuzz: $name failed (exit $status); its log: $log" >&2
        grep -E "ERROR|SUMMARY|Test unit written|abort|: [A-Z].*\(" "$log" | head -20 >&2 || true
        return 1
    fi
}

[ $# -ge 1 ] || usage
case "$1" in
    --list)
        printf '%s\n' "${targets[@]}"
        ;;
    --all)
        [ $# -eq 2 ] || usage
        seconds=$2
        start=$(date +%s)
        build_targets fuzz_all
        echo "fuzz: built in $(( $(date +%s) - start )) s; $seconds s per target"
        # Each target runs single-threaded for its full time, so the machine's cores take one
        # target each; the table comes out in the targets' order once all have run.
        results="$build/results"
        rm -rf "$results"
        mkdir -p "$results"
        running=0
        for name in "${targets[@]}"; do
            if [ "$running" -ge "${FUZZ_JOBS:-$(nproc)}" ]; then
                wait -n || true
                running=$((running - 1))
            fi
            (run_target "$name" "$seconds" >"$results/$name" || touch "$results/$name.failed") &
            running=$((running + 1))
        done
        wait
        total=0
        failed=0
        printf '%-18s %12s\n' target executions
        for name in "${targets[@]}"; do
            [ ! -e "$results/$name.failed" ] || failed=1
            read -r _ runs <"$results/$name" || runs=0
            printf '%-18s %12s\n' "$name" "${runs:-0}"
            total=$((total + ${runs:-0}))
        done
        printf '%-18s %12s\n' total "$total"
        echo "fuzz: $(( $(date +%s) - start )) s in all"
        exit "$failed"
        ;;
    -*)
        usage
        ;;
    *)
        [ $# -eq 2 ] || usage
        name=$1
        printf '%s\n' "${targets[@]}" | grep -qx "$name" || { echo "fuzz: no target $name" >&2; exit 2; }
        build_targets "fuzz_$name"
        line=$(run_target "$name" "$2") || { echo "$line"; exit 1; }
        echo "$line"
        ;;
esac
