#!/bin/sh
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) in build/fuzz, makes the seed
# corpora and runs every target for the given number of seconds (default 60).
#   fuzz/run.sh [seconds] [target...]
# FUZZ_RUNS=n also stops a target after n executions (whichever comes first).
# Crashes, leaks, time-outs and oversized allocations land in build/fuzz/findings/<target>/;
# the corpus grows in build/fuzz/corpus/<target>/, one log per target in build/fuzz/logs/.
set -eu

SECONDS_PER_TARGET=${1:-60}
[ $# -gt 0 ] && shift
SOURCE=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$SOURCE/build/fuzz
CC=${CC:-clang-14}
CXX=${CXX:-clang++-14}
JOBS=${JOBS:-2}
NICE="nice -n 19"

mkdir -p "$BUILD/logs"
LAUNCHER=
command -v ccache >/dev/null 2>&1 && LAUNCHER="-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"

# libjpeg-turbo again, from the bootstrap's source tarball, with coverage and ASan so that the
# fuzzers see inside the decoder (no UBSan there: the library shifts negative values on purpose).
JPEG_ARGS=
TARBALL=$(ls "$SOURCE"/build/deps/src/libjpeg-turbo_*.orig.tar.gz 2>/dev/null | tail -1 || true)
if [ -n "$TARBALL" ] && [ "${FUZZ_SYSTEM_JPEG:-0}" != 1 ]; then
    JPEG=$BUILD/jpeg
    if [ ! -f "$JPEG/.built" ]; then
        rm -rf "$JPEG" && mkdir -p "$JPEG/src"
        tar xf "$TARBALL" -C "$JPEG/src" --strip-components=1
        # shellcheck disable=SC2086
        $NICE cmake -S "$JPEG/src" -B "$JPEG/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DCMAKE_C_COMPILER="$CC" $LAUNCHER -DCMAKE_INSTALL_PREFIX="$JPEG" \
            -DCMAKE_INSTALL_LIBDIR=lib -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_SIMD=OFF \
            -DWITH_TURBOJPEG=OFF -DWITH_JAVA=OFF -DWITH_TOOLS=OFF -DWITH_TESTS=OFF \
            -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link,address -fno-omit-frame-pointer" \
            >"$BUILD/logs/jpeg-build.log" 2>&1 || { cat "$BUILD/logs/jpeg-build.log"; exit 1; }
        $NICE cmake --build "$JPEG/build" -j"$JOBS" --target install >>"$BUILD/logs/jpeg-build.log" 2>&1 ||
            { tail -30 "$BUILD/logs/jpeg-build.log"; exit 1; }
        touch "$JPEG/.built"
    fi
    JPEG_ARGS="-DVESKARO_JPEG_INCLUDE_DIR=$JPEG/include -DVESKARO_JPEG_LIBRARY=$JPEG/lib/libjpeg.a"
fi

# shellcheck disable=SC2086
$NICE cmake -S "$SOURCE" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" $LAUNCHER \
    -DVESKARO_FUZZ=ON -DVESKARO_TESTS=OFF -DVESKARO_BENCH=OFF $JPEG_ARGS >"$BUILD/logs/configure.log" 2>&1 ||
    { cat "$BUILD/logs/configure.log"; exit 1; }
$NICE cmake --build "$BUILD" -j"$JOBS" --target veskaro_fuzz

python3 "$SOURCE/fuzz/make_seeds.py" "$BUILD/seeds"

TARGETS=${*:-$(cd "$BUILD/fuzz" && ls fuzz_* | sort)}
mkdir -p "$BUILD/findings" "$BUILD/corpus" "$BUILD/logs"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$SOURCE/fuzz/lsan.supp:print_suppressions=0}

printf '%-26s %12s %8s %8s %s\n' target executions cov ft findings
for target in $TARGETS; do
    name=${target#fuzz_}
    corpus=$BUILD/corpus/$target
    findings=$BUILD/findings/$target
    mkdir -p "$corpus" "$findings"
    touch "$BUILD/logs/$target.start"
    seeds=
    [ -d "$BUILD/seeds/$name" ] && seeds=$BUILD/seeds/$name
    # -error_exitcode lets the loop go on to the next target after a finding.
    # shellcheck disable=SC2086
    $NICE "$BUILD/fuzz/$target" "$corpus" $seeds \
        -max_total_time="$SECONDS_PER_TARGET" -runs="${FUZZ_RUNS:--1}" -timeout=10 \
        -malloc_limit_mb=2048 -rss_limit_mb=2560 -max_len=262144 \
        -artifact_prefix="$findings/" -print_final_stats=1 \
        >"$BUILD/logs/$target.log" 2>&1 || true
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$BUILD/logs/$target.log" | tail -1)
    last=$(grep -E '^#[0-9]+' "$BUILD/logs/$target.log" | tail -1)
    cov=$(printf '%s\n' "$last" | sed -n 's/.* cov: \([0-9]*\).*/\1/p')
    ft=$(printf '%s\n' "$last" | sed -n 's/.* ft: \([0-9]*\).*/\1/p')
    found=$(find "$findings" -type f -newer "$BUILD/logs/$target.start" | wc -l)
    printf '%-26s %12s %8s %8s %s\n' "$target" "${runs:-?}" "${cov:-?}" "${ft:-?}" "$found"
done
