#!/usr/bin/env bash
# Installs what the project needs on Debian 12 and provides libjpeg-turbo >= 3.0.
# Idempotent: a second run checks package states and the cached build, then exits.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DEPS="$ROOT/build/deps"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

PACKAGES=(
    build-essential g++ cmake ninja-build pkg-config ccache
    qt6-base-dev libgl-dev
    libssl-dev openssl libopenjp2-7-dev nasm
    libgtest-dev libgmock-dev libbenchmark-dev
    dcmtk dicom3tools libgdcm-tools python3 python3-pydicom
    xvfb xauth dpkg-dev clang-format clang-tidy
    fonts-dejavu-core
    orthanc nlohmann-json3-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "bootstrap: installing ${missing[*]}"
    $SUDO apt-get update -q
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# --- the scripted workflow peer (Node.js, packages from its lockfile) --------
# npm comes with the Node.js on the machines this runs on; Debian's npm package conflicts.
if ! command -v node >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends nodejs
fi
PEER="$ROOT/tests/support/dimse-peer"
if command -v npm >/dev/null 2>&1 &&
    ! cmp -s "$PEER/package-lock.json" "$PEER/node_modules/.installed-lock" 2>/dev/null; then
    (cd "$PEER" && npm ci --no-audit --no-fund --loglevel=error &&
        cp package-lock.json node_modules/.installed-lock)
fi

# --- libjpeg-turbo >= 3.0 ---------------------------------------------------
installed_jpeg_version() {
    local h=/usr/include/x86_64-linux-gnu/jconfig.h
    [ -f "$h" ] || h=/usr/include/jconfig.h
    [ -f "$h" ] && sed -n 's/^#define LIBJPEG_TURBO_VERSION *\([0-9.]*\).*/\1/p' "$h" | head -1
}
sys_ver="$(installed_jpeg_version || true)"
if [ -n "$sys_ver" ] && [ "${sys_ver%%.*}" -ge 3 ]; then
    exit 0
fi
if [ -f "$DEPS/libjpeg-turbo.stamp" ] && [ -d "$(cat "$DEPS/libjpeg-turbo.stamp")" ]; then
    exit 0
fi

echo "bootstrap: system libjpeg-turbo is ${sys_ver:-absent}; building 3.x from the Debian source package"
mkdir -p "$DEPS/apt/lists/partial" "$DEPS/apt/cache/archives/partial" "$DEPS/src"

# Mirror URIs come from the machine's own apt configuration (deb822 and one-line forms).
uris="$(
    { grep -hs '^URIs:' /etc/apt/sources.list.d/*.sources | sed 's/^URIs:[[:space:]]*//' | tr ' ' '\n'
      grep -hs '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list |
          sed 's/\[[^]]*\]//' | awk '{print $2}'
    } | grep -E '/debian/?$' | sort -u || true
)"
if [ -z "$uris" ]; then
    echo "bootstrap: no Debian mirror found in the apt configuration" >&2
    exit 1
fi
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
: > "$DEPS/apt/sources.list"
for u in $uris; do
    for suite in trixie sid experimental; do
        echo "deb-src [signed-by=$keyring] $u $suite main" >> "$DEPS/apt/sources.list"
    done
done
APTOPT=(-o "Dir::Etc::SourceList=$DEPS/apt/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
        -o "Dir::State::Lists=$DEPS/apt/lists" -o "Dir::Cache=$DEPS/apt/cache"
        -o "APT::Sandbox::User=root")
apt-get "${APTOPT[@]}" update -q
ver="$(apt-cache "${APTOPT[@]}" showsrc libjpeg-turbo | sed -n 's/^Version: //p' |
       sed 's/^[0-9]*://' | sort -V | awk -F. '$1 >= 3' | tail -1)"
if [ -z "$ver" ]; then
    echo "bootstrap: no libjpeg-turbo 3.x source package in the configured suites" >&2
    exit 1
fi
upstream="${ver%%-*}"
prefix="$DEPS/libjpeg-turbo-$upstream"
if [ ! -f "$prefix/.built" ]; then
    (cd "$DEPS/src" && apt-get "${APTOPT[@]}" source --download-only -q "libjpeg-turbo=1:$ver" &&
        rm -rf "libjpeg-turbo-$upstream" && tar xf "libjpeg-turbo_$upstream.orig.tar.gz")
    srcdir="$DEPS/src/libjpeg-turbo-$upstream"
    cmake -S "$srcdir" -B "$srcdir/_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
        -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
        -DWITH_TURBOJPEG=OFF -DWITH_JAVA=OFF -DWITH_TOOLS=OFF -DWITH_TESTS=OFF >/dev/null
    cmake --build "$srcdir/_build" --target install >/dev/null
    touch "$prefix/.built"
    rm -rf "$srcdir"
fi
echo "$prefix" > "$DEPS/libjpeg-turbo.stamp"
echo "bootstrap: libjpeg-turbo $upstream in $prefix"
