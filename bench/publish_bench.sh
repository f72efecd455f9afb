#!/usr/bin/env bash
# Times orlex-publish on a large payload against plain hashing and copying of the same files.
#
# Usage: bench/publish_bench.sh [--no-build]
# Environment: BENCH_FILES (default 1000), BENCH_MIB (total payload size, default 1024),
#              BENCH_RUNS (default 3), BENCH_DIR (parent of the scratch directory, default build/),
#              BENCH_BUILD (build tree, default build/release),
#              BENCH_BEFORE (optional: another orlex-publish program, timed the same way for comparison).
#
# One run of the script generates the payload once (random data, sizes spread around the mean), warms the
# page cache, then takes the median of BENCH_RUNS runs of each step:
#   publish    orlex-publish publish into a fresh channel (hash every file, copy every blob, make it durable)
#   republish  orlex-publish publish again into the same channel (every blob present and checked)
#   baseline   openssl dgst -sha256 of every file, then cp of every file to another directory
#   +sync      the baseline followed by sync (the copy made durable, as publish does)
#   sha256sum  sha256sum of every file, for reference
# The scratch directory (payload, channel, copies) is removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

files=${BENCH_FILES:-1000}
mib=${BENCH_MIB:-1024}
runs=${BENCH_RUNS:-3}
build=${BENCH_BUILD:-build/release}

if [[ ${1:-} != --no-build ]]; then
    scripts/build "$build" -DCMAKE_BUILD_TYPE=Release -DORLEX_TESTS=OFF
fi
tool=$repo/$build/update/orlex-publish
[[ -x $tool ]] || { echo "orlex-publish not built: $tool" >&2; exit 1; }

mkdir -p "${BENCH_DIR:-$repo/build}"
scratch=$(mktemp -d "${BENCH_DIR:-$repo/build}/publish-bench.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
payload=$scratch/payload

# --- payload -------------------------------------------------------------------------------------------
echo "Generating $files files, about $mib MiB, in $payload" >&2
mean=$((mib * 1024 * 1024 / files))
dirs=(app app/lib assets/sounds assets/textures assets/models runtime/bin runtime/lib)
total=0
for ((i = 0; i < files; i++)); do
    dir=$payload/${dirs[i % ${#dirs[@]}]}/d$((i % 13))
    mkdir -p "$dir"
    size=$((mean / 2 + (RANDOM * 32768 + RANDOM) % (mean + 1)))  # mean/2 .. 3*mean/2
    head -c "$size" /dev/urandom >"$dir/f$i.bin"
    [[ ${dirs[i % ${#dirs[@]}]} == runtime/bin ]] && chmod +x "$dir/f$i.bin"
    total=$((total + size))
done
mapfile -d '' list < <(cd "$payload" && find . -type f -print0 | sort -z)
echo "Payload: ${#list[@]} files, $total bytes" >&2

"$tool" keygen "$scratch/keys/private.der" "$scratch/keys/public.der"

# --- timing helpers ------------------------------------------------------------------------------------
seconds() {  # runs "$@" and prints its wall time in seconds
    local start=$EPOCHREALTIME
    "$@" >/dev/null
    local end=$EPOCHREALTIME
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }'
}
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

publishInto() {  # channel sequence [program]
    "${3:-$tool}" publish "$payload" "$1" "$scratch/keys/private.der" client 1.0.0 "$2" linux-x64
}
baseline() {
    (cd "$payload" && printf '%s\0' "${list[@]}" | xargs -0 openssl dgst -sha256)
    mkdir -p "$scratch/copy"
    cp -R "$payload/." "$scratch/copy/"
}
baselineSync() {
    baseline
    sync
}
sumAll() { (cd "$payload" && printf '%s\0' "${list[@]}" | xargs -0 sha256sum); }

# Warm the page cache with the payload, so every step reads it from memory.
cat "${list[@]/#/$payload/}" >/dev/null

declare -a tPublish tRepublish tBaseline tBaselineSync tSum tBeforePublish tBeforeRepublish
for ((r = 1; r <= runs; r++)); do
    if [[ -n ${BENCH_BEFORE:-} ]]; then
        rm -rf "$scratch/channel"
        sync
        tBeforePublish+=("$(seconds publishInto "$scratch/channel" "$r" "$BENCH_BEFORE")")
        sync
        tBeforeRepublish+=("$(seconds publishInto "$scratch/channel" "$((r + 100))" "$BENCH_BEFORE")")
        echo "run $r (before): publish ${tBeforePublish[-1]} s, republish ${tBeforeRepublish[-1]} s" >&2
    fi
    rm -rf "$scratch/channel" "$scratch/copy"
    sync
    tPublish+=("$(seconds publishInto "$scratch/channel" "$r")")
    sync
    tRepublish+=("$(seconds publishInto "$scratch/channel" "$((r + 100))")")
    sync
    tBaseline+=("$(seconds baseline)")
    rm -rf "$scratch/copy"
    sync
    tBaselineSync+=("$(seconds baselineSync)")
    tSum+=("$(seconds sumAll)")
    echo "run $r: publish ${tPublish[-1]} s, republish ${tRepublish[-1]} s, baseline ${tBaseline[-1]} s," \
        "baseline+sync ${tBaselineSync[-1]} s, sha256sum ${tSum[-1]} s" >&2
done

mPublish=$(median "${tPublish[@]}")
mRepublish=$(median "${tRepublish[@]}")
mBaseline=$(median "${tBaseline[@]}")
mBaselineSync=$(median "${tBaselineSync[@]}")
mSum=$(median "${tSum[@]}")
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
rate() { awk -v t="$1" -v n="$total" 'BEGIN { printf "%.0f", n / 1048576 / t }'; }

echo
echo "orlex-publish, ${#list[@]} files, $((total / 1048576)) MiB, median of $runs runs"
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg) (other work on the machine skews every figure)"
echo "nproc $(nproc); $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //');" \
    "file system $(df -T "$scratch" | awk 'NR == 2 { print $2 }')"
printf '%-34s %9s %9s %14s %14s\n' step seconds MiB/s "vs baseline" "vs +sync"
row() { printf '%-34s %9s %9s %14s %14s\n' "$1" "$2" "$(rate "$2")" "$(ratio "$2" "$mBaseline")" \
    "$(ratio "$2" "$mBaselineSync")"; }
row "publish (fresh channel)" "$mPublish"
row "republish (blobs present)" "$mRepublish"
if [[ -n ${BENCH_BEFORE:-} ]]; then
    row "publish, before (fresh channel)" "$(median "${tBeforePublish[@]}")"
    row "republish, before (blobs present)" "$(median "${tBeforeRepublish[@]}")"
fi
row "baseline: openssl dgst + cp" "$mBaseline"
row "baseline + sync" "$mBaselineSync"
row "sha256sum (reference)" "$mSum"
