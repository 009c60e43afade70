#!/usr/bin/env bash
# Installs what is missing, builds the sanitized test tree and a ThreadSanitizer tree of the
# concurrency tests, runs those, then every test.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$ROOT/tools/bootstrap.sh"
# Checks that need no build come first and fail fast: formatting of every tracked source, and
# the generated dictionary table against its data file.
mapfile -t SOURCES < <(git -C "$ROOT" ls-files '*.cpp' '*.h')
(cd "$ROOT" && clang-format --dry-run --Werror "${SOURCES[@]}")
python3 "$ROOT/tools/gen_dictionary.py" --check
cmake -S "$ROOT" -B "$ROOT/build/test" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVESKARO_SANITIZE=ON -DVESKARO_BENCH=OFF >/dev/null
cmake --build "$ROOT/build/test" -j"$(nproc)"
# The checks in .clang-tidy over the sources (the tree's compile commands, so after the build);
# every finding is an error. The tool's own chatter goes to a log; the findings are shown.
if command -v run-clang-tidy >/dev/null 2>&1; then
    tidyLog="$ROOT/build/test/clang-tidy.log"
    echo "clang-tidy: checking src/"
    if ! run-clang-tidy -p "$ROOT/build/test" -quiet -j"$(nproc)" "$ROOT/src/" >"$tidyLog" 2>&1; then
        sed 's/\x1b\[[0-9;]*m//g' "$tidyLog" | grep -E ': (warning|error): ' >&2 || cat "$tidyLog" >&2
        echo "clang-tidy: findings above; the whole output is in $tidyLog" >&2
        exit 1
    fi
fi
export VESKARO_REQUIRE_PEERS=1 QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1
# The concurrency tests under ThreadSanitizer, in a tree that builds only them and the libraries
# they link (its suppressions: tests/tsan.supp, passed by the tests' CMakeLists); the whole
# suite runs last so that its summary closes the output.
cmake -S "$ROOT" -B "$ROOT/build/tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVESKARO_TSAN=ON -DVESKARO_BENCH=OFF >/dev/null
cmake --build "$ROOT/build/tsan" -j"$(nproc)" --target concurrency_tests
ctest --test-dir "$ROOT/build/tsan" --output-on-failure -j"$(nproc)" --timeout 600 -L tsan
ctest --test-dir "$ROOT/build/test" --output-on-failure -j"$(nproc)" --timeout 600
