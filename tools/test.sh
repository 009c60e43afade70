#!/usr/bin/env bash
# Installs what is missing, builds the sanitized test tree and runs every test.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$ROOT/tools/bootstrap.sh"
cmake -S "$ROOT" -B "$ROOT/build/test" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVESKARO_SANITIZE=ON -DVESKARO_BENCH=OFF >/dev/null
cmake --build "$ROOT/build/test" -j"$(nproc)"
export VESKARO_REQUIRE_PEERS=1 QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1
ctest --test-dir "$ROOT/build/test" --output-on-failure -j"$(nproc)" --timeout 600
