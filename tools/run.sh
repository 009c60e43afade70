#!/usr/bin/env bash
# Installs what is missing, builds the optimised program and starts Veskaro.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$ROOT/tools/bootstrap.sh"
cmake -S "$ROOT" -B "$ROOT/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DVESKARO_TESTS=OFF >/dev/null
cmake --build "$ROOT/build/release" -j"$(nproc)"
APP="$ROOT/build/release/src/app"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "run.sh: no display available (neither DISPLAY nor WAYLAND_DISPLAY is set), so the" \
        "window cannot start. The command-line front end runs the same jobs:" >&2
    echo "  $APP/veskaro-cli" >&2
    "$APP/veskaro-cli" help >&2
    exit 1
fi
exec "$APP/veskaro" "$@"
