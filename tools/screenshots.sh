#!/usr/bin/env bash
# Shows the main window and the dialogs on a virtual X display (Xvfb) and saves what the screen
# shows of each in build/screenshots/ (or the folder given as the first argument).
# The build tree defaults to build/release; VESKARO_BUILD_DIR picks another one.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="${1:-$ROOT/build/screenshots}"
BUILD="${VESKARO_BUILD_DIR:-$ROOT/build/release}"
if ! command -v xvfb-run >/dev/null; then
    "$ROOT/tools/bootstrap.sh"
fi
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    "$ROOT/tools/bootstrap.sh"
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESKARO_TESTS=OFF \
        -DVESKARO_BENCH=OFF >/dev/null
fi
cmake --build "$BUILD" -j"$(nproc)" --target veskaro-screenshots
mkdir -p "$OUT"
# The real X platform, never offscreen: what is saved is what a user would see.
env -u QT_QPA_PLATFORM ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}" \
    xvfb-run -a -s "-screen 0 1024x768x24" "$BUILD/src/app/veskaro-screenshots" "$OUT"
