#!/usr/bin/env bash
# Release engine figures against the machine's own baselines, in one run:
#   verify    verifiedRelease() of ~1 GiB in ~1,000 files (warm cache) vs `openssl dgst -sha256` of the files
#   install   a fresh install from nginx over HTTPS on 127.0.0.1 (every file on the disk before the
#             pointer names it) vs curl fetching the same blobs to files, then the same followed by sync
#   start     the launcher's start check with nothing to fetch (fetch, plan, no install): bytes read and
#             time vs `openssl dgst -sha256` of the installed files
#   repair    installing the same release again after one file changed vs `cp -r` of the release
# Usage: bench/engine_bench.sh [TOTAL_MIB] [FILES] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
total_mib=${1:-1024}
files=${2:-1000}
runs=${3:-3}

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DORLEX_TESTS=OFF >/dev/null
cmake --build build/release --target orlex-publish orlex-engine-bench >/dev/null
publish=build/release/update/orlex-publish
bench=build/release/bench/orlex-engine-bench

work=$(mktemp -d "${TMPDIR:-/tmp}/orlex-engine-bench.XXXXXX")
cleanup() { tools/serve-channel stop "$work/server" >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT

calc() { awk "BEGIN { print $1 }"; }
median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
field() { sed -n "s/.*$1=\([^ ]*\).*/\1/p"; }
seconds_of() { local start end; start=$(date +%s.%N); "$@" >/dev/null; end=$(date +%s.%N); calc "$end - $start"; }

echo "== payload: $files files, $total_mib MiB"
per_file=$((total_mib * 1024 * 1024 / files))
mkdir -p "$work/payload/app" "$work/payload/assets"
for i in $(seq 1 "$files"); do
    head -c "$per_file" /dev/urandom >"$work/payload/assets/file-$i.bin"
done
"$publish" keygen "$work/keys/private.der" "$work/keys/public.der"
"$publish" publish "$work/payload" "$work/channel" "$work/keys/private.der" client 1.0.0 1 linux-x64 >/dev/null
base=$(tools/serve-channel start "$work/channel" "$work/server")
export ORLEX_BENCH_TRUSTSTORE=$work/server/ca.pem
bytes=$((per_file * files))

echo "== install from nginx over HTTPS vs curl"
install_mbps=()
curl_mbps=()
curl_sync_mbps=()
peak=0
(cd "$work/channel" && ls blobs | grep -v "\.chunks$") | sed "s|^|url = \"${base}blobs/|; s|$|\"|" >"$work/curl.urls"
awk -v dir="$work/curl-out" '{print; sub(/.*blobs\//, ""); sub(/"$/, ""); print "output = \"" dir "/" $0 "\""}' \
    "$work/curl.urls" >"$work/curl.config"
for run in $(seq 1 "$runs"); do
    rm -rf "$work/root" "$work/curl-out"
    line=$("$bench" install "$base" "$work/keys/public.der" "$work/root")
    install_mbps+=("$(echo "$line" | field mbps)")
    rss=$(echo "$line" | field peak_rss_kib)
    [ "$rss" -gt "$peak" ] && peak=$rss
    mkdir -p "$work/curl-out"
    sync
    s=$(seconds_of curl -s --cacert "$work/server/ca.pem" -K "$work/curl.config")
    curl_mbps+=("$(calc "$bytes / $s / 1000000")")
    rm -rf "$work/curl-out"
    mkdir -p "$work/curl-out"
    sync
    s=$(seconds_of sh -c "curl -s --cacert '$work/server/ca.pem' -K '$work/curl.config' && sync")
    curl_sync_mbps+=("$(calc "$bytes / $s / 1000000")")
done
install_median=$(printf '%s\n' "${install_mbps[@]}" | median)
curl_median=$(printf '%s\n' "${curl_mbps[@]}" | median)
curl_sync_median=$(printf '%s\n' "${curl_sync_mbps[@]}" | median)

echo "== verify (warm cache) vs openssl dgst -sha256"
release=$work/root/releases/$(cat "$work/root/current")
cat "$release"/assets/* >/dev/null
verify_mbps=()
hash1_mbps=()
openssl_mbps=()
for run in $(seq 1 "$runs"); do
    verify_mbps+=("$("$bench" verify "$work/keys/public.der" "$work/root" | field mbps)")
    hash1_mbps+=("$("$bench" hash1 "$work/keys/public.der" "$work/root" | field mbps)")
    s=$(seconds_of sh -c "find '$release/assets' -type f -print0 | xargs -0 openssl dgst -sha256")
    openssl_mbps+=("$(calc "$bytes / $s / 1000000")")
done
verify_median=$(printf '%s\n' "${verify_mbps[@]}" | median)
hash1_median=$(printf '%s\n' "${hash1_mbps[@]}" | median)
openssl_median=$(printf '%s\n' "${openssl_mbps[@]}" | median)

echo "== start check with nothing to fetch vs openssl dgst -sha256"
start_s=()
start_read=()
for run in $(seq 1 "$runs"); do
    out=$("$bench" startcheck "$base" "$work/keys/public.der" "$work/root")
    start_s+=("$(echo "$out" | head -n 1 | field seconds)")
    start_read+=("$(echo "$out" | tail -n 1 | field read_bytes)")
done
start_median=$(printf '%s\n' "${start_s[@]}" | median)
start_read_median=$(printf '%s\n' "${start_read[@]}" | median)
openssl_s=$(calc "$bytes / $openssl_median / 1000000")

echo "== repair one changed file vs cp -r"
repair_s=()
cp_s=()
for run in $(seq 1 "$runs"); do
    release=$work/root/releases/$(cat "$work/root/current")
    head -c 100 /dev/urandom >"$release/assets/file-1.bin"
    s=$(seconds_of "$bench" install "$base" "$work/keys/public.der" "$work/root")
    repair_s+=("$s")
    rm -rf "$work/copy"
    cp_s+=("$(seconds_of cp -r "$(realpath "$work/root/releases/$(cat "$work/root/current")")" "$work/copy")")
done
repair_median=$(printf '%s\n' "${repair_s[@]}" | median)
cp_median=$(printf '%s\n' "${cp_s[@]}" | median)

printf '\n%-44s %12s %12s %8s\n' "measure (median of $runs)" "engine" "baseline" "ratio"
printf '%-44s %9.0f MB/s %9.0f MB/s %8.2f\n' "verifiedRelease, all cores vs openssl dgst" "$verify_median" "$openssl_median" \
    "$(calc "$verify_median / $openssl_median")"
printf '%-44s %9.0f MB/s %9.0f MB/s %8.2f\n' "hash on one core vs openssl dgst" "$hash1_median" "$openssl_median" \
    "$(calc "$hash1_median / $openssl_median")"
printf '%-44s %9.0f MB/s %9.0f MB/s %8.2f\n' "install over HTTPS vs curl" "$install_median" "$curl_median" \
    "$(calc "$install_median / $curl_median")"
printf '%-44s %9.0f MB/s %9.0f MB/s %8.2f\n' "install over HTTPS vs curl + sync" "$install_median" "$curl_sync_median" \
    "$(calc "$install_median / $curl_sync_median")"
printf '%-44s %10.2f s %10.2f s %8.2f\n' "start check vs openssl dgst (lower is better)" "$start_median" "$openssl_s" \
    "$(calc "$start_median / $openssl_s")"
printf '%-44s %12s %12s %8.2f\n' "start check bytes read vs release bytes" "$start_read_median" "$bytes" \
    "$(calc "$start_read_median / $bytes")"
printf '%-44s %10.2f s %10.2f s %8.2f\n' "repair of one file vs cp -r (lower is better)" "$repair_median" "$cp_median" \
    "$(calc "$repair_median / $cp_median")"
printf 'install peak resident memory: %d KiB\n' "$peak"
