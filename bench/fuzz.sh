#!/usr/bin/env bash
# Fuzzing campaigns: builds the libFuzzer targets of fuzz/ in build/fuzz (clang, -O1 -g, address and
# undefined-behaviour sanitizers) and brings each target, one after the other, to EXECS executions
# (default 10,000,000) in all. A campaign lasts over several runs: each target's grown corpus and the
# executions it has done clean so far are kept in build/fuzz/campaign/<target>/ (corpus/, executions),
# and a run continues from them (the committed seeds of fuzz/corpus/<target> join its corpus; they are
# never changed). A run stops after FUZZ_MAX_TIME seconds (default 1800); the next one goes on from there.
# A run that fails adds nothing to the count; a run stopped by a SIGINT to its target (`pkill -INT -f
# fuzz-<target>`) adds what it ran. `rm -rf build/fuzz/campaign` starts every campaign afresh.
# Usage: bench/fuzz.sh [EXECS]
#        FUZZ_TARGETS="set_cookie safe_path" FUZZ_MAX_TIME=600 bench/fuzz.sh 1000000
#        FUZZ_SCRATCH=/tmp bench/fuzz.sh        (scratch files on disk instead of /dev/shm)
# Findings are kept in build/fuzz/findings/<target>/; the exit status is 1 when a target failed.
# -O1, not -O2: -O2 ran the targets at most 5 % faster and gave them fewer coverage edges to steer by.
set -euo pipefail
cd "$(dirname "$0")/.."
execs=${1:-10000000}
max_time=${FUZZ_MAX_TIME:-1800}

export CCACHE_DIR=${CCACHE_DIR:-/var/cache/orlex-ccache}
cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" -DORLEX_TESTS=OFF -DORLEX_FUZZ=ON >/dev/null
nice -n 10 ninja -C build/fuzz -j2 orlex_fuzzers >/dev/null

if [ -n "${FUZZ_TARGETS:-}" ]; then
    read -r -a targets <<<"$FUZZ_TARGETS"
else
    targets=()
    for dir in fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi

# The scratch corpora and the targets' own scratch files (fuzz_support's scratchDirectory, under TMPDIR) go
# to memory when /dev/shm is there: the targets that write files each input (local_state, session_file)
# otherwise spend much of their time creating and deleting inodes on disk.
scratch=${FUZZ_SCRATCH:-/dev/shm}
[ -d "$scratch" ] && [ -w "$scratch" ] || scratch=${TMPDIR:-/tmp}
work=$(mktemp -d "$scratch/orlex-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); target executions $execs, at most ${max_time} s each; scratch in $scratch"
printf '%-22s %12s %12s %9s %10s  %s\n' target "this run" "in all" seconds execs/s result
status=0
interrupted=72  # the targets' exit status after a SIGINT, apart from any finding's
for target in "${targets[@]}"; do
    campaign="build/fuzz/campaign/$target"
    corpus="$work/$target"
    findings="build/fuzz/findings/$target"
    mkdir -p "$campaign/corpus" "$corpus" "$findings"
    before=$(cat "$campaign/executions" 2>/dev/null || echo 0)
    if [ "$before" -ge "$execs" ]; then
        printf '%-22s %12s %12s %9s %10s  %s\n' "$target" 0 "$before" 0 - "done before"
        continue
    fi
    cp fuzz/corpus/"$target"/* "$corpus"/
    cp -n "$campaign/corpus"/* "$corpus"/ 2>/dev/null || true
    log="$work/$target.log"
    start=$(date +%s.%N)
    if nice -n 10 build/fuzz/fuzz/fuzz-"$target" -runs="$((execs - before))" -max_total_time="$max_time" \
        -interrupted_exitcode="$interrupted" \
        -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" >"$log" 2>&1; then
        result=ok
    elif [ $? -eq "$interrupted" ]; then
        # Stopped from outside (SIGINT to the target): what it ran before is counted.
        result="ok, interrupted"
    else
        result="FAILED (log: $findings/log)"
        cp "$log" "$findings/log"
        status=1
    fi
    end=$(date +%s.%N)
    done_execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    done_execs=${done_execs:-0}
    seconds=$(awk "BEGIN { printf \"%.0f\", $end - $start }")
    total=$before
    if [ "${result%%,*}" = ok ]; then
        total=$((before + done_execs))
        echo "$total" >"$campaign/executions"
        rm -rf "$campaign/corpus.new"
        cp -r "$corpus" "$campaign/corpus.new"
        rm -rf "$campaign/corpus"
        mv "$campaign/corpus.new" "$campaign/corpus"
        [ "$result" = ok ] && [ "$total" -lt "$execs" ] && result="ok, stopped by the time limit"
    fi
    printf '%-22s %12s %12s %9s %10s  %s\n' "$target" "$done_execs" "$total" "$seconds" \
        "$(awk "BEGIN { printf \"%.0f\", $done_execs / ($end - $start) }")" "$result"
done
echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
exit "$status"
