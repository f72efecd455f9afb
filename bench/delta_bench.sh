#!/usr/bin/env bash
# Updates that fetch only what changed: a release of one large file, then two new releases (1 MiB changed
# in its middle; 1 MiB inserted near its start, shifting everything after it). Each update is installed
# by the program (`orlex-launcher --install`) from nginx over HTTPS into a copy of the installed first
# release, with the chunk index (chunks reused) and without it (the whole file), and made by zsync from
# the same nginx (plain HTTP: zsync 0.6 has no TLS). Bytes are what nginx sent (its access log), every
# request of the update included (zsync's control file excepted: it is read from the disk, its size shows
# on the zsyncmake line); times are wall clock. Also times orlex-publish with and without the
# chunking of the index, and zsyncmake.
# Usage: bench/delta_bench.sh [SIZE_MIB]          default 1024 (one 1 GiB file)
#        BENCH_BUILD=build/other bench/delta_bench.sh     builds and runs there (default build/release)
#        BENCH_NO_BUILD=1 bench/delta_bench.sh            the build as it is
set -euo pipefail
cd "$(dirname "$0")/.."
size_mib=${1:-1024}
build=${BENCH_BUILD:-build/release}
command -v zsync >/dev/null || { echo "zsync is needed (Debian package zsync)" >&2; exit 2; }

if [ -z "${BENCH_NO_BUILD:-}" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORLEX_TESTS=OFF >/dev/null
    cmake --build "$build" -j 2 --target orlex-launcher orlex-publish orlex_launcher_archive >/dev/null
fi
launcher=$(realpath "$build/launcher/orlex-launcher")
publish=$(realpath "$build/update/orlex-publish")
archive=$(realpath "$build/app/launcher.zip")
private_key=$(realpath "$build/dev-keys/release-private.der")

work=$(mktemp -d "${TMPDIR:-/tmp}/orlex-delta-bench.XXXXXX")
cleanup() { tools/serve-channel stop "$work/server" >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT
export XDG_CONFIG_HOME=$work/config  # no preference store of the user is read or written

now() { date +%s.%N; }
elapsed() { awk "BEGIN { printf \"%.2f\", $2 - $1 }"; }
mib() { awk "BEGIN { printf \"%.2f\", $1 / 1048576 }"; }
access_log=$work/server/logs/access.log
log_lines() { wc -l <"$access_log"; }
# Body bytes nginx sent since the access log had $1 lines.
bytes_since() { tail -n +$(($1 + 1)) "$access_log" | awk '{ sent += $10 } END { print sent + 0 }'; }
sequence=0
publish_release() {
    sequence=$((sequence + 1))
    "$publish" publish "$1" "$work/channel" "$private_key" client "1.0.$sequence" "$sequence" linux-x64 >/dev/null
}
blob_of() { sha256sum "$1" | cut -d' ' -f1; }
run_launcher() {
    local root=$1
    shift
    "$launcher" -Djavax.net.ssl.trustStore="$work/server/ca.pem" --archive "$archive" --root "$root" \
        --channel "$base" "$@"
}

load_before=$(uptime)
bytes=$((size_mib * 1048576))
mkdir -p "$work/v1/assets" "$work/middle/assets" "$work/insert/assets"
head -c "$bytes" /dev/urandom >"$work/v1/assets/world.pak"
cp "$work/v1/assets/world.pak" "$work/middle/assets/world.pak"
dd if=/dev/urandom of="$work/middle/assets/world.pak" bs=1M seek=$((size_mib / 2)) count=1 conv=notrunc \
    status=none
{
    head -c $((4 * 1048576)) "$work/v1/assets/world.pak"
    head -c 1048576 /dev/urandom
    tail -c +$((4 * 1048576 + 1)) "$work/v1/assets/world.pak"
} >"$work/insert/assets/world.pak"
sync

echo "== publishing"
start=$(now)
publish_release "$work/v1"
fresh=$(elapsed "$start" "$(now)")
first=$(blob_of "$work/v1/assets/world.pak")
index_bytes=$(stat -c %s "$work/channel/blobs/$first.chunks")
rm "$work/channel/blobs/$first.chunks"
start=$(now)
publish_release "$work/v1"  # blob present, index made again: hashing and chunking
rechunk=$(elapsed "$start" "$(now)")
start=$(now)
publish_release "$work/v1"  # blob and index present: hashing only
rehash=$(elapsed "$start" "$(now)")

base=$(SERVE_CHANNEL_HTTP=1 tools/serve-channel start "$work/channel" "$work/server")
http_base=$(cat "$work/server/http-url")

echo "== first install (nothing older: no index is asked for)"
sync
mark=$(log_lines)
start=$(now)
run_launcher "$work/root-v1" --install >"$work/install.out"
first_install=$(elapsed "$start" "$(now)")
first_bytes=$(bytes_since "$mark")
first_index_requests=$(tail -n +$((mark + 1)) "$access_log" | grep -c '\.chunks' || true)

rows=()
for variant in middle insert; do
    echo "== update: $variant"
    new_file=$work/$variant/assets/world.pak
    publish_release "$work/$variant"
    digest=$(blob_of "$new_file")
    for mode in chunks whole; do
        rm -rf "$work/root"
        cp -a "$work/root-v1" "$work/root"
        [ "$mode" = whole ] && mv "$work/channel/blobs/$digest.chunks" "$work/index.aside"
        planned=$(run_launcher "$work/root" --plan | sed -n 's/^PLAN .*bytes=\([0-9]*\).*/\1/p')
        sync
        mark=$(log_lines)
        start=$(now)
        run_launcher "$work/root" --install >"$work/install.out"
        seconds=$(elapsed "$start" "$(now)")
        sent=$(bytes_since "$mark")
        run_launcher "$work/root" --verify >/dev/null
        cmp -s "$new_file" "$work/root/releases/$(cat "$work/root/current")/assets/world.pak"
        [ "$mode" = whole ] && mv "$work/index.aside" "$work/channel/blobs/$digest.chunks"
        rows+=("$(printf '%-8s %-22s %12s %12s %9s' "$variant" "orlex-launcher, $mode" "$(mib "$planned")" \
            "$(mib "$sent")" "$seconds")")
    done

    rm -rf "$work/zsync" && mkdir -p "$work/zsync"
    cp "$work/v1/assets/world.pak" "$work/zsync/old"
    start=$(now)
    zsyncmake -u "${http_base}blobs/$digest" -o "$work/zsync/new.zsync" "$new_file" 2>/dev/null
    zsyncmake_seconds=$(elapsed "$start" "$(now)")
    sync
    mark=$(log_lines)
    start=$(now)
    (cd "$work/zsync" && zsync -q -i old -o new new.zsync >/dev/null 2>&1)
    seconds=$(elapsed "$start" "$(now)")
    sent=$(bytes_since "$mark")
    cmp -s "$new_file" "$work/zsync/new"
    rows+=("$(printf '%-8s %-22s %12s %12s %9s' "$variant" "zsync (plain HTTP)" "" "$(mib "$sent")" "$seconds")")
    control=$(stat -c %s "$work/zsync/new.zsync")
    rows+=("$(printf '%-8s %-22s %12s %12s %9s' "$variant" "zsyncmake (publisher)" "" "$(mib "$control")" \
        "$zsyncmake_seconds")")
done

echo
echo "load before: $load_before"
echo "load after:  $(uptime)"
echo "file: $size_mib MiB; index: $(mib "$index_bytes") MiB; each update changes or inserts 1.00 MiB"
echo "publish: fresh ${fresh} s (blob stored, indexed); again with the index removed ${rechunk} s;" \
    "again with blob and index present ${rehash} s (the index's chunking: the difference of the last two)"
echo "first install: ${first_install} s, $(mib "$first_bytes") MiB sent, index requests: $first_index_requests"
printf '%-8s %-22s %12s %12s %9s\n' update "how" "planned MiB" "sent MiB" seconds
printf '%s\n' "${rows[@]}"
