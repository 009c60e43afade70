#!/usr/bin/env bash
# Builds the Release tree build/bench-release (no tests, no sanitizers), runs every benchmark in
# it and prints one table of medians: ours, the reference tool's, and reference / ours (every
# unit is lower-is-better, so above 1 means we are ahead). Each program's own report is kept in
# build/bench-release/bench-logs/, the table in build/bench-release/bench-table.txt.
#
# usage: bench/run.sh [--quick]
#   --quick  smaller runs: no 512 MiB dump, no 1 GiB store, fewer repetitions, one frame per
#            conversion input
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build/bench-release"
quick=0
for arg in "$@"; do
    case "$arg" in
    --quick) quick=1 ;;
    *)
        echo "usage: $0 [--quick]" >&2
        exit 2
        ;;
    esac
done

"$ROOT/tools/bootstrap.sh"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESKARO_TESTS=OFF \
    -DVESKARO_BENCH=ON >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target veskaro-cli veskaro_read_dump_bench \
    veskaro_echo_bench veskaro_store_bench veskaro_codec_bench veskaro_convert_bench

logs="$BUILD/bench-logs"
rm -rf "$logs"
mkdir -p "$logs"
results="$logs/results.tsv"
: >"$results"

if [ "$quick" -eq 1 ]; then
    readDumpArgs=(--small-only --reps 3)
    echoArgs=(--count 50)
    storeArgs=(--skip-large --runs 3)
    codecArgs=(5)
    convertArgs=(--quick --reps 3)
else
    readDumpArgs=(--reps 5)
    echoArgs=(--count 200)
    storeArgs=(--runs 5)
    codecArgs=(10)
    convertArgs=(--reps 3)
fi

failed=()
run() {
    local name="$1"
    shift
    echo "bench: $name" >&2
    local start=$SECONDS
    if "$@" --results "$results" >"$logs/$name.txt" 2>&1; then
        echo "bench: $name done in $((SECONDS - start)) s" >&2
    else
        echo "bench: $name FAILED, see $logs/$name.txt" >&2
        failed+=("$name")
    fi
}
bin="$BUILD/bench"
run read_dump "$bin/veskaro_read_dump_bench" "${readDumpArgs[@]}"
run echo "$bin/veskaro_echo_bench" "${echoArgs[@]}"
run store "$bin/veskaro_store_bench" "${storeArgs[@]}"
run codec "$bin/veskaro_codec_bench" "${codecArgs[@]}"
run convert "$bin/veskaro_convert_bench" "${convertArgs[@]}"

awk -F'\t' '
function shown(v, unit) {
    if (v < 0) return "-"
    return sprintf(unit == "MiB" ? "%.1f" : (v >= 100 ? "%.1f" : "%.3f"), v)
}
BEGIN {
    printf "%-10s %-46s %11s %11s %-24s %8s  %s\n", "benchmark", "case", "ours", "reference", \
        "reference is", "ref/ours", "unit"
}
{
    ratio = ($3 > 0 && $4 > 0) ? sprintf("%.2f", $4 / $3) : "-"
    printf "%-10s %-46s %11s %11s %-24s %8s  %s\n", $1, $2, shown($3, $6), shown($4, $6), $5, \
        ratio, $6
}' "$results" | tee "$BUILD/bench-table.txt"

if [ "${#failed[@]}" -gt 0 ]; then
    echo "bench: failed: ${failed[*]}" >&2
    exit 1
fi
