#!/usr/bin/env bash
# Runs every fuzz target for a bounded time, two at a time, each on a working corpus seeded from
# Tests/fuzz/corpus, and prints the executions each made. A target that finds an input breaking
# an invariant leaves it in <build>/fuzz-artifacts and makes the run fail. First each target
# replays the sequences in Tests/fuzz/replay/<target>: inputs that once broke an invariant, run in
# name order in one process (the stateful targets need the inputs before them).
# Usage: run.sh BUILD_DIR SECONDS [JOBS]
set -uo pipefail
build=$1
seconds=$2
jobs=${3:-2}
here=$(cd "$(dirname "$0")" && pwd)
bin=$build/Tests/fuzz
work=$build/fuzz-work
artifacts=$build/fuzz-artifacts
mkdir -p "$work" "$artifacts"

# Longest input per target: console lines and GNSS bytes take simulated time in proportion.
declare -A max_len=([fuzz_console]=512 [fuzz_gnss_app]=1024 [fuzz_gnss_parser]=4096
                    [fuzz_encoder]=64 [fuzz_si5351]=22)

run_one() {
    local t=$1
    mkdir -p "$work/corpus/$t"
    "$bin/$t" -max_total_time="$seconds" -timeout=25 -max_len="${max_len[$t]}" \
        -print_final_stats=1 -artifact_prefix="$artifacts/$t-" \
        "$work/corpus/$t" "$here/corpus/$t" >"$work/$t.log" 2>&1
    echo $? >"$work/$t.rc"
}
export -f run_one
export bin work artifacts here seconds
export max_len_decl="$(declare -p max_len)"

targets=(fuzz_console fuzz_gnss_app fuzz_gnss_parser fuzz_encoder fuzz_si5351)
replay_failed=0
for t in "${targets[@]}"; do
    [ -d "$here/replay/$t" ] || continue
    if ! "$bin/$t" $(ls -d "$here/replay/$t"/* | sort) >"$work/$t-replay.log" 2>&1; then
        replay_failed=1
        printf 'fuzz: %-17s replay FAILED; log %s\n' "$t" "$work/$t-replay.log"
        grep -E '^(Running: |fuzz: |  [a-z])' "$work/$t-replay.log" | tail -3
    fi
done
[ "$replay_failed" -eq 0 ] || exit 1

printf '%s\n' "${targets[@]}" |
    xargs -P "$jobs" -I{} bash -c 'eval "$max_len_decl"; run_one {}'

failed=0
for t in "${targets[@]}"; do
    execs=$(sed -n 's/^stat::number_of_executed_units: //p' "$work/$t.log")
    rc=$(cat "$work/$t.rc" 2>/dev/null || echo 1)
    if [ "$rc" -eq 0 ]; then
        printf 'fuzz: %-17s %10s executions in %s s, no invariant broken\n' "$t" "${execs:-?}" "$seconds"
    else
        failed=1
        printf 'fuzz: %-17s FAILED (exit %s); log %s\n' "$t" "$rc" "$work/$t.log"
        grep -E '^(fuzz|si5351|encoder|parser|accepted|==[0-9]+==|SUMMARY)' "$work/$t.log" | head -5
        ls "$artifacts"/"$t"-* 2>/dev/null | sed 's/^/  input: /'
    fi
done
exit $failed
