#!/usr/bin/env bash
# Long-use figures: resident memory (VmRSS) and open descriptors of three long-running parts, sampled
# as they work, with a verdict per part: "flat" when, after the warm-up, memory grew by at most
# RSS_TOLERANCE_KIB (2 MiB) and no descriptor stayed open; otherwise "GROWS".
#   probe    the update probe of a real Launcher, 1,000 times in a row against a channel (game and
#            launcher releases, both installed) served by nginx over HTTPS on 127.0.0.1; then 1,000 times
#            again with every probe planning the game release. Warm-up: the first 100 probes.
#   broker   the editor session broker: 10,000 correct requests one after the other, then 100 slow clients
#            at once (one byte of a head per 200 ms each) while correct requests keep being made, then
#            1,000 more. Warm-up: the first 1,000 requests.
#   window   orlex-launcher's window under Xvfb (1920x1080x24) with the backdrop animating, WINDOW_MINUTES
#            open, in managed mode on a scratch root with a closed local channel (its probes fail at once,
#            as an idle window without network does); sampled every 30 s. Warm-up: the first minute. Its
#            verdict compares the median of the samples of minutes 1-3 with that of the last five (of
#            minutes 1-11 with that of the last ten minutes when it runs 30 minutes or more).
# The exit status of orlex-soak (1 when a probe failed or a correct request went unanswered) is printed
# with its figures; the script itself fails only when a part could not run.
# Usage: bench/soak.sh [WINDOW_MINUTES]        (default 10)
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-10}
RSS_TOLERANCE_KIB=2048

if [ -z "${ORLEX_SOAK_INSIDE:-}" ]; then
    cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DORLEX_TESTS=OFF >/dev/null
    cmake --build build/release -j2 --target orlex-soak orlex-publish orlex-launcher orlex_launcher_archive \
        >/dev/null
    exec env ORLEX_SOAK_INSIDE=1 QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1920x1080x24" "$0" "$@"
fi

soak=build/release/bench/orlex-soak
publish=build/release/update/orlex-publish
launcher=build/release/launcher/orlex-launcher
work=$(mktemp -d "${TMPDIR:-/tmp}/orlex-soak.XXXXXX")
window_pid=""
cleanup() {
    [ -n "$window_pid" ] && kill "$window_pid" 2>/dev/null || true
    tools/serve-channel stop "$work/server" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

field() { sed -n "s/.*$1=\([^ ]*\).*/\1/p"; }
# sample_of FILE SERIES LABEL KEY: one figure of one sample line of orlex-soak's output.
sample_of() { awk -v s="$2" -v l="$3" '$1 == "sample" && $2 == s && $3 == l' "$1" | field "$4"; }
# verdict WHAT RSS_WARM RSS_LAST FDS_WARM FDS_LAST
verdict() {
    local growth=$(($3 - $2)) fds=$(($5 - $4)) word=flat
    if [ "$growth" -gt "$RSS_TOLERANCE_KIB" ] || [ "$fds" -gt 0 ]; then word=GROWS; fi
    printf '%-48s %s: RSS %+d KiB (%d -> %d), descriptors %+d (%d -> %d)\n' "$1" "$word" "$growth" "$2" "$3" \
        "$fds" "$4" "$5"
}
# series FILE SERIES: the samples of one series as a table.
series() {
    printf '%-12s %10s %6s %9s\n' "after" "RSS KiB" "fds" "seconds"
    awk -v s="$2" '$1 == "sample" && $2 == s {
        for (i = 4; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
        printf "%-12s %10d %6d %9.1f\n", $3, v["rss_kib"], v["fds"], v["seconds"] }' "$1"
}

echo "== machine: $(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)"
echo "== load at start: $(uptime)"

# ---- the update probe -------------------------------------------------------------------------------
echo
echo "== update probe: 1,000 probes against nginx over HTTPS on 127.0.0.1, then 1,000 that plan"
mkdir -p "$work/game/app" "$work/game/assets" "$work/game/runtime/bin" "$work/self/app" "$work/self/runtime/bin"
for i in $(seq 1 20); do head -c 500000 /dev/urandom >"$work/game/assets/file-$i.bin"; done
head -c 2000000 /dev/urandom >"$work/game/app/game.jar"
printf '#!/bin/sh\necho runtime\n' >"$work/game/runtime/bin/java"
head -c 40000 /dev/urandom >"$work/self/app/launcher.zip"
printf '#!/bin/sh\n' >"$work/self/runtime/bin/orlex-launcher"
chmod +x "$work/game/runtime/bin/java" "$work/self/runtime/bin/orlex-launcher"
"$publish" keygen "$work/keys/private.der" "$work/keys/public.der"
"$publish" publish "$work/game" "$work/channel/client" "$work/keys/private.der" client 1.0.0 1 linux-x64 >/dev/null
"$publish" publish "$work/self" "$work/channel/launcher" "$work/keys/private.der" launcher 1.0.0 1 linux-x64 \
    >/dev/null
base=$(tools/serve-channel start "$work/channel" "$work/server")
probe_status=0
ORLEX_BENCH_TRUSTSTORE=$work/server/ca.pem "$soak" probe "${base}client/" "$work/keys/public.der" "$work/root" 1000 \
    >"$work/probe.out" || probe_status=$?
tools/serve-channel stop "$work/server" >/dev/null
requests=$(awk '$7 ~ /current\.json$/' "$work/server/logs/access.log" | wc -l)
grep -v '^sample' "$work/probe.out"
echo "exit status $probe_status; channel requests served by nginx for current.json: $requests"
for s in probe probe-replan; do
    echo "-- series $s"
    series "$work/probe.out" "$s"
done

# ---- the editor session broker ------------------------------------------------------------------------
echo
echo "== editor session broker: 10,000 requests, then 100 slow clients for 6 s, then 1,000 more"
broker_status=0
"$soak" broker 10000 100 6 >"$work/broker.out" || broker_status=$?
grep -v '^sample' "$work/broker.out"
echo "exit status $broker_status"
series "$work/broker.out" broker

# ---- the launcher window ------------------------------------------------------------------------------
echo
echo "== launcher window: $minutes min under Xvfb, backdrop animating, sampled every 30 s"
export XDG_CONFIG_HOME=$work/config  # the launcher's preferences, away from the user's: reduced motion off
ticks=$(getconf CLK_TCK)
"$launcher" --archive build/release/app/launcher.zip --root "$work/window-root" \
    --channel https://127.0.0.1:9/client/ --managed >"$work/window.log" 2>&1 &
window_pid=$!
for _ in $(seq 1 400); do
    xwininfo -root -tree 2>/dev/null | grep -q '"ORLEX • Tessaline":' && break
    sleep 0.05
done
xwininfo -root -tree 2>/dev/null | grep -q '"ORLEX • Tessaline":' || { echo "no window" >&2; exit 1; }
started=$(date +%s)
window_rss() { awk '/^VmRSS/ {print $2}' "/proc/$window_pid/status"; }
window_fds() { ls "/proc/$window_pid/fd" | wc -l; }
window_ticks() { awk '{print $14 + $15}' "/proc/$window_pid/stat"; }
printf '%-12s %10s %6s %12s\n' "minute" "RSS KiB" "fds" "CPU % (30 s)"
: >"$work/window.samples"
last_ticks=$(window_ticks)
for step in $(seq 0 $((minutes * 2))); do
    # Each sample at its own time from the window's appearance, whatever the previous one cost.
    while [ $(($(date +%s) - started)) -lt $((step * 30)) ]; do sleep 1; done
    [ -e "/proc/$window_pid" ] || { echo "the window's process ended" >&2; exit 1; }
    rss=$(window_rss)
    fds=$(window_fds)
    now_ticks=$(window_ticks)
    cpu=$(awk -v d=$((now_ticks - last_ticks)) -v t="$ticks" 'BEGIN { printf "%.1f", d / t / 30 * 100 }')
    [ "$step" -eq 0 ] && cpu="-"
    last_ticks=$now_ticks
    minute=$(awk -v s="$step" 'BEGIN { printf "%.1f", s / 2 }')
    printf '%-12s %10d %6d %12s\n' "$minute" "$rss" "$fds" "$cpu"
    echo "$minute $rss $fds" >>"$work/window.samples"
done
kill "$window_pid"
wait "$window_pid" 2>/dev/null || true
window_pid=""
probes=$(grep -c update_probe "$work/window-root/userdata/launcher.log" 2>/dev/null || true)
echo "failed probes in the window's launcher log: ${probes:-0}"

# ---- verdicts -----------------------------------------------------------------------------------------
echo
echo "== load at end: $(uptime)"
echo "== verdicts (tolerance: $RSS_TOLERANCE_KIB KiB of RSS, 0 descriptors, after the warm-up)"
p=$work/probe.out
verdict "update probe, probes 100 -> 1000" "$(sample_of "$p" probe 100 rss_kib)" \
    "$(sample_of "$p" probe 1000 rss_kib)" "$(sample_of "$p" probe 100 fds)" "$(sample_of "$p" probe 1000 fds)"
verdict "update probe planning, probes 100 -> 1000" "$(sample_of "$p" probe-replan 100 rss_kib)" \
    "$(sample_of "$p" probe-replan 1000 rss_kib)" "$(sample_of "$p" probe-replan 100 fds)" \
    "$(sample_of "$p" probe-replan 1000 fds)"
b=$work/broker.out
verdict "broker, request 1000 -> 10000" "$(sample_of "$b" broker 1000 rss_kib)" \
    "$(sample_of "$b" broker 10000 rss_kib)" "$(sample_of "$b" broker 1000 fds)" "$(sample_of "$b" broker 10000 fds)"
verdict "broker, request 1000 -> after slow clients + 1000" "$(sample_of "$b" broker 1000 rss_kib)" \
    "$(sample_of "$b" broker after-1000-more rss_kib)" "$(sample_of "$b" broker 1000 fds)" \
    "$(sample_of "$b" broker after-1000-more fds)"
w=$work/window.samples
echo "window, minute 1 -> minute $minutes, single samples: RSS $(awk '$1 == "1.0" {a = $2} END {printf "%+d KiB", $2 - a}' "$w")"
# While it animates, the window's memory swings by about one picture of its size (~3 MiB at 1180x720,
# remade and the old one freed) from one sample to the next: a single sample, or the lowest of a few,
# may catch it either way. Compared: the median of the samples of minutes 1-3 and of the last five.
# A run of 30 minutes or more compares its first ten minutes after the warm-up with its last ten, and
# also prints the median of each ten minutes, to show a slow trend the swing hides.
median_of() { awk -v from="$1" -v to="$2" -v k="$3" '$1 + 0 >= from && $1 + 0 <= to { print $k }' "$w" |
    sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
span=2
if [ "$minutes" -ge 30 ]; then
    span=10
    for ((from = 1; from < minutes; from += span)); do
        to=$((from + span < minutes ? from + span : minutes))
        printf 'window median, minutes %d-%d: RSS %d KiB, descriptors %d\n' "$from" "$to" \
            "$(median_of "$from" "$to" 2)" "$(median_of "$from" "$to" 3)"
    done
fi
verdict "window median, minutes 1-$((1 + span)) -> $((minutes - span))-$minutes" "$(median_of 1 $((1 + span)) 2)" \
    "$(median_of $((minutes - span)) "$minutes" 2)" "$(median_of 1 $((1 + span)) 3)" \
    "$(median_of $((minutes - span)) "$minutes" 3)"
