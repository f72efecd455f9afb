#!/usr/bin/env bash
# Installation through the program: `orlex-launcher --install` (headless, its output going to a file) of a
# fresh release from nginx over HTTPS on 127.0.0.1, against curl fetching the same blobs into files over
# one connection, the same followed by `sync`, and the engine alone (orlex-engine-bench install). Beside
# each throughput, the processor time (user + system) of the client and of nginx's one worker: on a
# machine with few cores their sum, not the link, bounds the throughput.
# Usage: bench/install_bench.sh [TOTAL_MB] [FILES] [RUNS]      defaults: 400 MB (decimal) in 200 files, 3 runs
#        BENCH_NO_BUILD=1 bench/install_bench.sh ...          uses build/release as it is
set -euo pipefail
cd "$(dirname "$0")/.."
total_mb=${1:-400}
files=${2:-200}
runs=${3:-3}
build=build/release

if [ -z "${BENCH_NO_BUILD:-}" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORLEX_TESTS=OFF >/dev/null
    cmake --build "$build" -j 2 --target orlex-launcher orlex-publish orlex-engine-bench >/dev/null
fi
launcher=$build/launcher/orlex-launcher
publish=$build/update/orlex-publish
engine=$build/bench/orlex-engine-bench
archive=$build/app/launcher.zip
# The archive carries the public half of the build's development key pair (no ORLEX_RELEASE_PUBLIC_KEY).
private_key=$build/dev-keys/release-private.der
public_key=$build/dev-keys/release-public.der

work=$(mktemp -d "${TMPDIR:-/tmp}/orlex-install-bench.XXXXXX")
cleanup() { tools/serve-channel stop "$work/server" >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT
export XDG_CONFIG_HOME=$work/config  # no preference store of the user is read or written

calc() { awk "BEGIN { print $1 }"; }
# timed MEASURE COMMAND...: runs the command (its standard output passes through) and notes its processor
# time (user + system) in client_cpu[MEASURE] and the clock ticks of nginx's worker meanwhile in
# server_ticks[MEASURE]. Nothing forks around the command beyond `time` itself: the callers' clocks run
# across this function.
declare -A client_cpu server_ticks
TIMEFORMAT='%3U+%3S'
read_nginx_ticks() {
    local fields
    read -r -a fields <"/proc/$nginx_worker/stat"
    nginx_ticks=$((fields[13] + fields[14]))
}
timed() {
    local measure=$1 before times
    shift
    read_nginx_ticks
    before=$nginx_ticks
    { times=$( { time "$@" >&3; } 2>&1); } 3>&1
    read_nginx_ticks
    client_cpu[$measure]+=" $times"
    server_ticks[$measure]+=" $((nginx_ticks - before))"
}
median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
field() { sed -n "s/.*$1=\([^ ]*\).*/\1/p"; }
now() { date +%s.%N; }

load_before=$(uptime)
per_file=$((total_mb * 1000000 / files))
bytes=$((per_file * files))
echo "== payload: $files files of $per_file bytes ($bytes bytes)"
mkdir -p "$work/payload/assets"
for i in $(seq 1 "$files"); do
    head -c "$per_file" /dev/urandom >"$work/payload/assets/file-$i.bin"
done
"$publish" publish "$work/payload" "$work/channel" "$private_key" client 1.0.0 1 linux-x64 >/dev/null
base=$(tools/serve-channel start "$work/channel" "$work/server")
nginx_worker=$(pgrep -P "$(cat "$work/server/nginx.pid")" | head -n 1)
export ORLEX_BENCH_TRUSTSTORE=$work/server/ca.pem
(cd "$work/channel" && ls blobs | grep -v "\.chunks$") | sed "s|^|url = \"${base}blobs/|; s|$|\"|" >"$work/curl.urls"
awk -v dir="$work/curl-out" '{print; sub(/.*blobs\//, ""); sub(/"$/, ""); print "output = \"" dir "/" $0 "\""}' \
    "$work/curl.urls" >"$work/curl.config"

program_mbps=()
engine_mbps=()
curl_mbps=()
curl_sync_mbps=()
lines=0
for run in $(seq 1 "$runs"); do
    echo "== run $run"
    rm -rf "$work/root" "$work/curl-out"
    sync
    start=$(now)
    timed program "$launcher" -Djavax.net.ssl.trustStore="$work/server/ca.pem" --archive "$archive" --root "$work/root" \
        --channel "$base" --install >"$work/install.out"
    end=$(now)
    program_mbps+=("$(calc "$bytes / ($end - $start) / 1000000")")
    lines=$(wc -l <"$work/install.out")

    rm -rf "$work/root"
    sync
    timed engine "$engine" install "$base" "$public_key" "$work/root" >"$work/engine.out"
    engine_mbps+=("$(field mbps <"$work/engine.out")")

    mkdir -p "$work/curl-out"
    sync
    start=$(now)
    timed curl curl -s --cacert "$work/server/ca.pem" -K "$work/curl.config"
    end=$(now)
    curl_mbps+=("$(calc "$bytes / ($end - $start) / 1000000")")

    rm -rf "$work/curl-out"
    mkdir -p "$work/curl-out"
    sync
    start=$(now)
    timed curl_sync curl -s --cacert "$work/server/ca.pem" -K "$work/curl.config"
    sync
    end=$(now)
    curl_sync_mbps+=("$(calc "$bytes / ($end - $start) / 1000000")")
    rm -rf "$work/curl-out"
done
load_after=$(uptime)
program=$(printf '%s\n' "${program_mbps[@]}" | median)
engine_alone=$(printf '%s\n' "${engine_mbps[@]}" | median)
curl=$(printf '%s\n' "${curl_mbps[@]}" | median)
curl_sync=$(printf '%s\n' "${curl_sync_mbps[@]}" | median)

echo
echo "load before: $load_before"
echo "load after:  $load_after"
echo "runs (MB/s): program ${program_mbps[*]} | engine ${engine_mbps[*]} | curl ${curl_mbps[*]} | curl + sync ${curl_sync_mbps[*]}"
printf '%-46s %9s %8s %14s %12s %11s\n' "measure (median of $runs)" "MB/s" "vs curl" "vs curl + sync" \
    "client cpu s" "nginx cpu s"
for row in "orlex-launcher --install, output to a file:program:$program" \
    "engine alone (orlex-engine-bench install):engine:$engine_alone" \
    "curl, one connection, to files:curl:$curl" "curl + sync:curl_sync:$curl_sync"; do
    value=${row##*:}
    label=${row%:*}
    measure=${label##*:}
    printf '%-46s %9.0f %8.2f %14.2f %12.2f %11.2f\n' "${label%:*}" "$value" "$(calc "$value / $curl")" \
        "$(calc "$value / $curl_sync")" "$(printf '%s\n' ${client_cpu[$measure]} | awk -F+ '{ print $1 + $2 }' | median)" \
        "$(printf '%s\n' ${server_ticks[$measure]} | awk -v hz="$(getconf CLK_TCK)" '{ print $1 / hz }' | median)"
done
echo "output lines of the last install: $lines"
