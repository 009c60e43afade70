#!/usr/bin/env bash
# Prints CT_small, a palette bitmap and the ECG page on DCMTK's dcmprscp (a grayscale printer
# on a free loopback port) and saves what the printer stored of each as PNG files in
# build/screenshots/ (or the folder given as the first argument): print-ct_small.png,
# print-palette-bmp.png, print-ecg.png, and the drawn colour page as print-ecg-page.bmp.
# The build tree defaults to build/release; VESKARO_BUILD_DIR picks another one.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="$(mkdir -p "${1:-$ROOT/build/screenshots}" && cd "${1:-$ROOT/build/screenshots}" && pwd)"
BUILD="${VESKARO_BUILD_DIR:-$ROOT/build/release}"
SAMPLES=/usr/lib/python3/dist-packages/pydicom/data/test_files
if ! command -v dcmprscp >/dev/null || [ ! -d "$SAMPLES" ]; then
    "$ROOT/tools/bootstrap.sh"
fi
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    "$ROOT/tools/bootstrap.sh"
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESKARO_TESTS=OFF \
        -DVESKARO_BENCH=OFF >/dev/null
fi
cmake --build "$BUILD" -j"$(nproc)" --target veskaro-cli veskaro-cli-print
CLI="$BUILD/src/app/veskaro-cli"

WORK="$(mktemp -d)"
PRINTER_PID=
cleanup() {
    if [ -n "$PRINTER_PID" ]; then kill "$PRINTER_PID" 2>/dev/null || true; fi
    rm -rf "$WORK"
}
trap cleanup EXIT
PORT="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
mkdir -p "$WORK/printer/db" "$WORK/printer/spool" "$WORK/home"
cat > "$WORK/printer/printer.cfg" <<CFG
[[GENERAL]]
[DATABASE]
Directory = db
[NETWORK]
AETitle = VESKARO_SHOTS
[PRINT]
Directory = spool
[[COMMUNICATION]]
[PRINTSCP]
Hostname = localhost
Type = LOCALPRINTER
Description = loopback printer for the screenshots
Port = $PORT
AETitle = PRINTSCP
ImplicitOnly = false
DisableNewVRs = false
Supports12Bit = true
SupportsPresentationLUT = true
SupportsImageSize = true
SupportsDecimateCrop = true
SupportsTrim = true
BorderDensity = BLACK\WHITE
EmptyImageDensity = BLACK\WHITE
MaxDensity = 320
MinDensity = 20
DisplayFormat = 1,1
FilmSizeID = 14INX17IN\8_5INX11IN
MediumType = PAPER
FilmDestination = MAGAZINE
MagnificationType = REPLICATE\NONE
ResolutionID = STANDARD
CFG
(cd "$WORK/printer" && exec dcmprscp -c printer.cfg >printer.log 2>&1) &
PRINTER_PID=$!
for _ in $(seq 50); do
    if python3 -c "import socket; socket.create_connection(('127.0.0.1', $PORT), 1)" 2>/dev/null; then
        break
    fi
    sleep 0.2
done

# An 8-bit bitmap whose palette runs from blue to red: a colour picture for the grey printer.
python3 - "$WORK/home/palette.bmp" <<'PY'
import struct, sys
w, h = 256, 64
row = (w + 3) & ~3
palette = b"".join(struct.pack("BBBB", 255 - i, 0, i, 0) for i in range(256))
pixels = b"".join(bytes((x + y) & 255 for x in range(w)) + b"\0" * (row - w) for y in range(h))
offset = 14 + 40 + len(palette)
header = b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset)
info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 8, 0, len(pixels), 2835, 2835, 256, 0)
open(sys.argv[1], "wb").write(header + info + palette + pixels)
PY

cd "$WORK/home"
"$CLI" setup --remote-aet PRINTSCP --remote-port "$PORT" --log-level 1 >/dev/null
shoot() { # FILE NAME
    rm -f "$WORK"/printer/db/HG_*
    "$CLI" print "$1"
    local film
    film="$(ls "$WORK"/printer/db/HG_* | head -1)"
    dcm2pnm --write-png "$film" "$OUT/print-$2.png"
    echo "$OUT/print-$2.png"
}
shoot "$SAMPLES/CT_small.dcm" ct_small
shoot "$WORK/home/palette.bmp" palette-bmp
shoot "$SAMPLES/waveform_ecg.dcm" ecg
cp test.bmp "$OUT/print-ecg-page.bmp"
