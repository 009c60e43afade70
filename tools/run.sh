#!/usr/bin/env bash
# Installs what is missing, builds the optimised program and starts Veskaro.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$ROOT/tools/bootstrap.sh"
cmake -S "$ROOT" -B "$ROOT/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DVESKARO_TESTS=OFF >/dev/null
cmake --build "$ROOT/build/release" -j"$(nproc)"
if [ -x "$ROOT/build/release/src/app/veskaro" ]; then
    exec "$ROOT/build/release/src/app/veskaro" "$@"
fi
# The window arrives later; until then the command-line front end is the program.
exec "$ROOT/build/release/src/app/veskaro-cli" help
