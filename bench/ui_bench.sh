#!/usr/bin/env bash
# The launcher window's figures under Xvfb (1920x1080x24), against an empty Qt window of the same size
# started the same way, in one run:
#   shown      process start -> the window is viewable on the X server (polled with xwininfo, ~5 ms)
#   handshake  process start -> the start confirmation file exists (ORLEX_LAUNCHER_HANDSHAKE)
#   rss        resident memory after 10 s idle
#   cpu        processor time over the next 30 s idle, in % of one core: with the backdrop animating,
#              then with reduced motion on (a separate start)
# The launcher runs in managed mode on a scratch root, its channel and account service on a closed local
# port: its first check and each probe fail at once, which is what an idle window without network does.
# Usage: bench/ui_bench.sh [RUNS]        (the start figures are medians of RUNS starts, default 5)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}

if [ -z "${ORLEX_UI_BENCH_INSIDE:-}" ]; then
    cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DORLEX_TESTS=OFF >/dev/null
    cmake --build build/release --target orlex-launcher orlex-empty-window orlex_launcher_archive >/dev/null
    exec env ORLEX_UI_BENCH_INSIDE=1 QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1920x1080x24" "$0" "$@"
fi

launcher=build/release/launcher/orlex-launcher
baseline=build/release/bench/orlex-empty-window
work=$(mktemp -d "${TMPDIR:-/tmp}/orlex-ui-bench.XXXXXX")
cleanup() {
    if [ -e "$work/pids" ]; then
        while read -r pid; do kill "$pid" 2>/dev/null || true; done <"$work/pids"
    fi
    rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME=$work/config  # the launcher's preferences, away from the user's
ticks=$(getconf CLK_TCK)

calc() { awk "BEGIN { print $1 }"; }
median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_mib() { awk '/^VmRSS/ {printf "%.1f", $2 / 1024}' "/proc/$1/status"; }

# start TITLE COMMAND...: starts the program, waits until its window is viewable and its confirmation
# is written; prints "PID SHOWN_MS HANDSHAKE_MS".
start() {
    local title=$1 handshake=$work/handshake-$RANDOM
    shift
    local begin shown="" confirmed="" pid id=""
    begin=$(now_ms)
    ORLEX_LAUNCHER_HANDSHAKE=$handshake "$@" >/dev/null 2>&1 &
    pid=$!
    echo "$pid" >>"$work/pids"
    while [ -z "$shown" ] || [ -z "$confirmed" ]; do
        if [ -z "$confirmed" ] && [ -e "$handshake" ]; then confirmed=$(($(now_ms) - begin)); fi
        # By its UTF-8 title in the tree (xwininfo -name reads only the Latin-1 name), then its map state.
        if [ -z "$id" ]; then
            id=$(xwininfo -root -tree 2>/dev/null | awk -v t="\"$title\":" 'index($0, t) {print $1; exit}')
        fi
        if [ -n "$id" ] && [ -z "$shown" ] && xwininfo -id "$id" 2>/dev/null | grep -q IsViewable; then
            shown=$(($(now_ms) - begin))
        fi
        if [ $(($(now_ms) - begin)) -gt 20000 ]; then echo "no window from $*" >&2; exit 1; fi
        sleep 0.005
    done
    echo "$pid $shown $confirmed"
}
# The programs run in the subshells that started them: wait by polling.
stop() {
    kill "$1" 2>/dev/null || true
    while [ -e "/proc/$1" ]; do sleep 0.05; done
}

launch_launcher() {
    start "ORLEX • Tessaline" "$launcher" --archive build/release/app/launcher.zip --root "$work/root" \
        --channel https://127.0.0.1:9/client/ --managed
}
launch_baseline() { start "Empty window" "$baseline"; }

# idle PID: RSS after 10 s, then CPU % over 30 s.
idle() {
    sleep 10
    local rss before after
    rss=$(rss_mib "$1")
    before=$(cpu_ticks "$1")
    sleep 30
    after=$(cpu_ticks "$1")
    echo "$rss $(calc "($after - $before) / $ticks / 30 * 100")"
}

echo "== machine: $(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo), load $(cut -d' ' -f1-3 /proc/loadavg)"
for program in launcher baseline; do
    : >"$work/$program.starts"
    for _ in $(seq 1 "$runs"); do
        read -r pid shown confirmed < <("launch_$program")
        stop "$pid"
        echo "$shown $confirmed" >>"$work/$program.starts"
    done
done

read -r pid _ _ < <(launch_launcher)
read -r launcher_rss launcher_cpu < <(idle "$pid")
stop "$pid"
mkdir -p "$XDG_CONFIG_HOME/orlex"
printf '[com]\norlex\\ui\\reducedMotion=true\n' >"$XDG_CONFIG_HOME/orlex/preferences.conf"
read -r pid _ _ < <(launch_launcher)
read -r reduced_rss reduced_cpu < <(idle "$pid")
stop "$pid"
read -r pid _ _ < <(launch_baseline)
read -r baseline_rss baseline_cpu < <(idle "$pid")
stop "$pid"

shown_of() { awk '{print $1}' "$work/$1.starts" | median; }
confirmed_of() { awk '{print $2}' "$work/$1.starts" | median; }
echo
echo "| Figure | Launcher | Empty Qt window |"
echo "|---|---:|---:|"
echo "| start -> window shown (ms, median of $runs) | $(shown_of launcher) | $(shown_of baseline) |"
echo "| start -> confirmation file (ms, median of $runs) | $(confirmed_of launcher) | $(confirmed_of baseline) |"
echo "| RSS after 10 s idle (MiB) | $launcher_rss | $baseline_rss |"
echo "| CPU over 30 s idle, animating (% of one core) | $launcher_cpu | $baseline_cpu |"
echo "| CPU over 30 s idle, reduced motion (% of one core) | $reduced_cpu | — |"
echo "| RSS, reduced motion (MiB) | $reduced_rss | — |"
