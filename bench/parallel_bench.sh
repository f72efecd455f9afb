#!/usr/bin/env bash
# Fetching over a distant channel: the engine's installation (orlex-engine-bench install) against curl
# fetching the same blobs into files with four connections at once (--parallel --parallel-max 4) and with
# one, all through bench/latency_proxy.py, which adds DELAY_MS to each direction in front of nginx over
# HTTPS on 127.0.0.1 (this kernel has no netem).
# Usage: bench/parallel_bench.sh [FILES] [KIB_PER_FILE] [DELAY_MS] [RUNS]   defaults: 200 files of 256 KiB, 50 ms, 3
set -euo pipefail
cd "$(dirname "$0")/.."
files=${1:-200}
kib=${2:-256}
delay=${3:-50}
runs=${4:-3}
build=build/release

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORLEX_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target orlex-publish orlex-engine-bench >/dev/null
publish=$build/update/orlex-publish
engine=$build/bench/orlex-engine-bench

work=$(mktemp -d "${TMPDIR:-/tmp}/orlex-parallel-bench.XXXXXX")
cleanup() {
    [ -n "${proxy:-}" ] && kill "$proxy" 2>/dev/null || true
    tools/serve-channel stop "$work/server" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

calc() { awk "BEGIN { print $1 }"; }
median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
field() { sed -n "s/.*$1=\([^ ]*\).*/\1/p"; }
seconds_of() { local start end; start=$(date +%s.%N); "$@" >/dev/null; end=$(date +%s.%N); calc "$end - $start"; }

echo "load: $(uptime)"
mkdir -p "$work/payload/assets"
for i in $(seq 1 "$files"); do
    head -c $((kib * 1024)) /dev/urandom >"$work/payload/assets/file-$i.bin"
done
bytes=$((files * kib * 1024))
"$publish" keygen "$work/keys/private.der" "$work/keys/public.der"
"$publish" publish "$work/payload" "$work/channel" "$work/keys/private.der" client 1.0.0 1 linux-x64 >/dev/null
direct=$(tools/serve-channel start "$work/channel" "$work/server")
nginx_port=$(echo "$direct" | sed -n 's|.*:\([0-9]*\)/$|\1|p')
proxy_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 bench/latency_proxy.py "$proxy_port" "$nginx_port" "$delay" >"$work/proxy.log" 2>&1 &
proxy=$!
until grep -q ready "$work/proxy.log"; do sleep 0.05; done
base="https://127.0.0.1:$proxy_port/"
export ORLEX_BENCH_TRUSTSTORE=$work/server/ca.pem
(cd "$work/channel" && ls blobs | grep -v "\.chunks$") | sed "s|^|url = \"${base}blobs/|; s|$|\"|" >"$work/curl.urls"
awk -v dir="$work/curl-out" '{print; sub(/.*blobs\//, ""); sub(/"$/, ""); print "output = \"" dir "/" $0 "\""}' \
    "$work/curl.urls" >"$work/curl.config"

echo "== $files files of $kib KiB through $delay ms each way"
engine_mbps=()
parallel_mbps=()
single_mbps=()
for run in $(seq 1 "$runs"); do
    rm -rf "$work/root"
    engine_mbps+=("$("$engine" install "$base" "$work/keys/public.der" "$work/root" | field mbps)")
    rm -rf "$work/curl-out" && mkdir -p "$work/curl-out"
    s=$(seconds_of curl -s --no-progress-meter --cacert "$work/server/ca.pem" --parallel --parallel-max 4 -K "$work/curl.config")
    parallel_mbps+=("$(calc "$bytes / $s / 1000000")")
    rm -rf "$work/curl-out" && mkdir -p "$work/curl-out"
    s=$(seconds_of curl -s --cacert "$work/server/ca.pem" -K "$work/curl.config")
    single_mbps+=("$(calc "$bytes / $s / 1000000")")
done
engine_median=$(printf '%s\n' "${engine_mbps[@]}" | median)
parallel_median=$(printf '%s\n' "${parallel_mbps[@]}" | median)
single_median=$(printf '%s\n' "${single_mbps[@]}" | median)
printf '%-42s %8s %10s\n' "" "MB/s" "vs curl -Z"
printf '%-42s %8.1f %10.2f\n' "engine install" "$engine_median" "$(calc "$engine_median / $parallel_median")"
printf '%-42s %8.1f %10.2f\n' "curl --parallel --parallel-max 4" "$parallel_median" 1
printf '%-42s %8.1f %10.2f\n' "curl, one connection" "$single_median" "$(calc "$single_median / $parallel_median")"
echo "runs: engine ${engine_mbps[*]}; curl -Z ${parallel_mbps[*]}; curl ${single_mbps[*]}"
echo "load: $(uptime)"
