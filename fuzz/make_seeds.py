#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: the sample DICOM files, their data sets
without meta header, the compressed frames inside them, and PDU byte vectors like the net
tests' ones. Usage: make_seeds.py OUTDIR [SAMPLEDIR]"""

import os
import struct
import sys

SAMPLES = "/usr/lib/python3/dist-packages/pydicom/data/test_files"
MAX_SEED = 64 * 1024  # larger seeds only slow the fuzzers down; big files are cut


def write(out, target, name, data):
    d = os.path.join(out, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def le(value, n):
    return value.to_bytes(n, "little")


def be(value, n):
    return value.to_bytes(n, "big")


def meta(data):
    """(transfer syntax, offset of the data set) for a file with preamble, else None."""
    if len(data) < 144 or data[128:132] != b"DICM":
        return None
    pos, syntax = 132, ""
    while pos + 8 <= len(data):
        group, element = struct.unpack_from("<HH", data, pos)
        if group != 2:
            break
        vr = data[pos + 4:pos + 6]
        if vr in (b"OB", b"OW", b"SQ", b"UN", b"UT"):
            length = struct.unpack_from("<I", data, pos + 8)[0]
            value = pos + 12
        else:
            length = struct.unpack_from("<H", data, pos + 6)[0]
            value = pos + 8
        if element == 0x10:
            syntax = data[value:value + length].rstrip(b"\0 ").decode("ascii", "replace")
        pos = value + length
    return syntax, pos


def explicit_us(data, group, element):
    """First explicit little-endian US value of the tag, or 0."""
    key = struct.pack("<HH", group, element) + b"US\x02\x00"
    at = data.find(key)
    return struct.unpack_from("<H", data, at + 8)[0] if at >= 0 else 0


def explicit_cs(data, group, element):
    key = struct.pack("<HH", group, element) + b"CS"
    at = data.find(key)
    if at < 0:
        return ""
    length = struct.unpack_from("<H", data, at + 6)[0]
    return data[at + 8:at + 8 + length].decode("ascii", "replace").strip("\0 ")


def fragments(data):
    """Fragments of encapsulated pixel data (explicit little endian), offset table excluded."""
    for vr in (b"OB", b"OW"):
        at = data.find(b"\xe0\x7f\x10\x00" + vr + b"\x00\x00\xff\xff\xff\xff")
        if at >= 0:
            break
    else:
        return []
    pos, found, first = at + 12, [], True
    while pos + 8 <= len(data):
        group, element, length = struct.unpack_from("<HHI", data, pos)
        if (group, element) != (0xFFFE, 0xE000):
            break
        if not first:
            found.append(data[pos + 8:pos + 8 + length])
        first = False
        pos += 8 + length
    return found


DECODERS = {
    "1.2.840.10008.1.2.5": ["rle_decode_frame"],
    "1.2.840.10008.1.2.4.50": ["jpeg_decode8", "jpeg_decode12"],
    "1.2.840.10008.1.2.4.51": ["jpeg_decode12", "jpeg_decode8"],
    "1.2.840.10008.1.2.4.57": ["jpeg_decode16", "jpeg_decode8"],
    "1.2.840.10008.1.2.4.70": ["jpeg_decode16", "jpeg_decode8"],
    "1.2.840.10008.1.2.4.90": ["j2k_decode"],
    "1.2.840.10008.1.2.4.91": ["j2k_decode"],
}
PHOTOMETRICS = ["MONOCHROME2", "MONOCHROME1", "RGB", "YBR_FULL"]


def sample_seeds(out, sample_dir):
    image_files = []
    sample_seed_files(out, sample_dir, image_files)
    # Every image once with a target chosen by its place; the three smallest with all targets.
    for i, (base, data) in enumerate(image_files):
        write(out, "convert_transfer_syntax", base, bytes([i % 8]) + data)
    for base, data in sorted(image_files, key=lambda f: len(f[1]))[:3]:
        for target in range(8):
            write(out, "convert_transfer_syntax", "%s_%d" % (base, target), bytes([target]) + data)


def sample_seed_files(out, sample_dir, image_files):
    for name in sorted(os.listdir(sample_dir)):
        path = os.path.join(sample_dir, name)
        if not name.endswith(".dcm") or not os.path.isfile(path):
            continue
        with open(path, "rb") as f:
            data = f.read()
        base = name[:-4]
        write(out, "dcmobj_read", base, data[:MAX_SEED])
        if name.startswith("waveform"):
            write(out, "waveform_to_bitmap", base, data)
            write(out, "waveform_to_bitmap", base + "_cut", data[:MAX_SEED])
        elif b"\xe0\x7f\x10\x00" in data or b"\x7f\xe0\x00\x10" in data:
            write(out, "render_to_bitmap", base, data[:MAX_SEED])
            image_files.append((base, data[:MAX_SEED]))
        parsed = meta(data)
        if parsed is None:
            write(out, "dcmobj_readraw", base, data[:MAX_SEED])
            write(out, "bufdata_readobject", base, b"\x00" + data[:MAX_SEED])
            continue
        syntax, start = parsed
        body = data[start:]
        write(out, "dcmobj_readraw", base, body[:MAX_SEED])
        mode = 0 if syntax == "1.2.840.10008.1.2" else 2 if syntax == "1.2.840.10008.1.2.2" else 1
        write(out, "bufdata_readobject", base, bytes([mode]) + body[:MAX_SEED])
        write(out, "bufdata_readobject", base + "_shared", bytes([mode | 4]) + body[:MAX_SEED])
        targets = DECODERS.get(syntax)
        if not targets:
            continue
        rows = explicit_us(body, 0x0028, 0x0010)
        columns = explicit_us(body, 0x0028, 0x0011)
        spp = explicit_us(body, 0x0028, 0x0002) or 1
        bits = explicit_us(body, 0x0028, 0x0100) or 8
        frame = min(rows * columns * spp * ((bits + 7) // 8), (1 << 22) - 1)
        photometric = explicit_cs(body, 0x0028, 0x0004)
        for i, fragment in enumerate(fragments(body)[:2]):
            if len(fragment) > 4 * MAX_SEED:
                continue
            for target in targets:
                if target == "rle_decode_frame":
                    selector = PHOTOMETRICS.index(photometric) if photometric in PHOTOMETRICS else 0
                    seed = le(frame, 3) + bytes([selector, bits]) + fragment
                else:
                    seed = le(frame, 3) + fragment
                write(out, target, "%s_%d" % (base, i), seed)


def pdu_seeds(out):
    def text(s):
        return s.encode("ascii")

    def item(kind, body):
        return bytes([kind, 0]) + be(len(body), 2) + body

    user_info = (item(0x51, be(32768, 4)) + item(0x52, text("1.2.276.0.7230010.3.0.3.6.7")) +
                 item(0x55, text("OFFIS_DCMTK_367")))
    user_info_rich = user_info + item(0x53, be(1, 2) + be(1, 2)) + \
        item(0x54, be(17, 2) + text("1.2.840.10008.1.1") + b"\x01\x00") + \
        item(0x59, be(4, 2) + text("okay"))
    context = item(0x21, b"\x01\x00\x00\x00" + item(0x40, text("1.2.840.10008.1.2")))
    for name, ui in (("echo", user_info), ("rich", user_info_rich)):
        body = (be(1, 2) + be(0, 2) + text("ECHOSCP".ljust(16)) + text("VESKARO".ljust(16)) +
                bytes(32) + item(0x10, text("1.2.840.10008.3.1.1.1")) + context + item(0x50, ui))
        write(out, "associate_ac", name, b"\x00" + be(len(body), 4) + body)
        write(out, "user_information", name, b"\xff\xff" + b"\x00" + be(len(ui), 2) + ui)
    write(out, "associate_ac", "short", b"\x00" + be(10, 4) + bytes(10))
    write(out, "associate_rj", "permanent", bytes.fromhex("00 00000004 00 01 01 01".replace(" ", "")))
    write(out, "associate_rj", "long", bytes.fromhex("00 00000008 00 02 02 02 00000000".replace(" ", "")))
    write(out, "associate_rj", "short", bytes.fromhex("00 00000002 00 01".replace(" ", "")))

    def pdv(context_id, control, data):
        return be(len(data) + 2, 4) + bytes([context_id, control]) + data

    def pdu(*pdvs):
        body = b"".join(pdvs)
        return b"\x04\x00" + be(len(body), 4) + body

    command = bytes.fromhex("0000000004000000380000000000020012000000312e322e3834302e31303030382e312e3100")
    write(out, "pdatatf", "command", pdu(pdv(1, 3, command)))
    write(out, "pdatatf", "two_pdvs", pdu(pdv(1, 1, b"\x11\x22"), pdv(1, 3, b"\x33\x44")) +
          pdu(pdv(1, 2, b"\x55\x66")))
    write(out, "pdatatf", "split", pdu(pdv(3, 0, bytes(16))) + pdu(pdv(3, 0, bytes(8))) +
          pdu(pdv(3, 2, bytes(4))))


def private_rle_seeds(out):
    write(out, "unpack_private_rle", "runs", le(64, 3) + bytes([0x5A, 0x10, 0x02, 0x01, 0xFF, 0xA5,
                                                               0x05, 0x02, 0x5A, 0x00, 0x80, 0xFE]))
    write(out, "unpack_private_rle", "run_of_words", le(300, 3) + bytes([0xA5, 0xFF, 0x5A]) +
          bytes([0xA5, 0x20, 0x01]))
    write(out, "unpack_private_rle", "cut", le(16, 3) + bytes([0x5A, 0x01]))
    # Rows, columns, stream: the headers asking more than the stream can fill, the largest
    # request, a stream that fills the frame exactly, one falling short, plain pixels.
    run = bytes([0xA5, 0xFF, 0x01, 0x00])
    write(out, "unpack_private_pixels", "fills_exactly", le(16, 2) + le(16, 2) + run)
    write(out, "unpack_private_pixels", "one_row_too_many", le(16, 2) + le(17, 2) + run)
    write(out, "unpack_private_pixels", "8192_squared", le(8192, 2) + le(8192, 2) + bytes([1] * 20))
    write(out, "unpack_private_pixels", "65535_squared", le(65535, 2) + le(65535, 2) +
          bytes([1] * 20))
    write(out, "unpack_private_pixels", "short", le(4, 2) + le(4, 2) + bytes([5, 5, 0xA5, 1, 5, 0]))
    write(out, "unpack_private_pixels", "escapes", le(1, 2) + le(4, 2) +
          bytes([0x5A, 0x00, 0x10, 0x02, 0xFE, 0x01]))
    write(out, "unpack_private_pixels", "odd_stream", le(16, 2) + le(17, 2) +
          bytes([0xA5, 0x16, 0xFF, 0x01, 0x00]))
    write(out, "unpack_private_pixels", "plain", le(1, 2) + le(2, 2) + bytes([0x5A, 1, 2, 3]))


def encode_element(group, element, vr, value, explicit):
    """One element; value None for a sequence or item of undefined length (its content follows)."""
    undefined = value is None
    if not undefined and len(value) % 2:
        value += b"\0" if vr in ("UI", "OB", "OW", "UN", "SQ") else b" "
    length = 0xFFFFFFFF if undefined else len(value)
    head = struct.pack("<HH", group, element)
    if group == 0xFFFE:
        return head + le(length, 4) + (value or b"")
    if not explicit:
        return head + le(length, 4) + (value or b"")
    if vr in ("OB", "OW", "SQ", "UN", "UT"):
        return head + vr.encode() + b"\0\0" + le(length, 4) + (value or b"")
    return head + vr.encode() + le(length, 2) + value


def encode_sequence(group, element, items, explicit, defined):
    """A sequence of items, each a byte string of encoded elements."""
    if defined:
        body = b"".join(encode_element(0xFFFE, 0xE000, "", it, explicit) for it in items)
        return encode_element(group, element, "SQ", body, explicit)
    body = b"".join(encode_element(0xFFFE, 0xE000, "", None, explicit) + it +
                    struct.pack("<HHI", 0xFFFE, 0xE00D, 0) for it in items)
    return (encode_element(group, element, "SQ", None, explicit) + body +
            struct.pack("<HHI", 0xFFFE, 0xE0DD, 0))


def waveform_file(modality, waveforms, explicit=True, defined=True):
    """A waveform file: waveforms is a list of (channels, samples, frequency, units, bits)."""
    def e(group, element, vr, value):
        return encode_element(group, element, vr, value, explicit)

    def text(value):
        return value.encode("ascii")

    items = []
    for channels, samples, frequency, units, bits in waveforms:
        definitions = []
        for c in range(channels):
            source = e(0x0008, 0x0100, "SH", text("5.6.3-9-%d" % c)) + \
                e(0x0008, 0x0104, "LO", text("Lead %d" % (c + 1)))
            unit = e(0x0008, 0x0100, "SH", text(units))
            definitions.append(encode_sequence(0x003A, 0x0208, [source], explicit, defined) +
                               e(0x003A, 0x0210, "DS", text("1")) +
                               encode_sequence(0x003A, 0x0211, [unit], explicit, defined) +
                               e(0x003A, 0x0212, "DS", text("1")) +
                               e(0x003A, 0x0213, "DS", text("0")) +
                               e(0x003A, 0x021A, "US", le(bits, 2)))
        values = b"".join(struct.pack("<h", ((k * 37 + c * 500) % 2000) - 1000)
                          for k in range(samples) for c in range(channels))
        items.append(e(0x003A, 0x0004, "CS", text("ORIGINAL")) +
                     e(0x003A, 0x0005, "US", le(channels, 2)) +
                     e(0x003A, 0x0010, "UL", le(samples, 4)) +
                     e(0x003A, 0x001A, "DS", text(str(frequency))) +
                     encode_sequence(0x003A, 0x0200, definitions, explicit, defined) +
                     e(0x5400, 0x1004, "US", le(16, 2)) +
                     e(0x5400, 0x1006, "CS", text("SS")) +
                     e(0x5400, 0x1010, "OW", values))
    annotation = e(0x0070, 0x0006, "ST", text("Sinus rhythm"))
    body = (e(0x0008, 0x0016, "UI", text("1.2.840.10008.5.1.4.1.1.9.1.1")) +
            e(0x0008, 0x0018, "UI", text("1.2.3.4.5")) +
            e(0x0008, 0x0020, "DA", text("20240131")) + e(0x0008, 0x0030, "TM", text("093015")) +
            e(0x0008, 0x0060, "CS", text(modality)) + e(0x0008, 0x0080, "LO", text("Clinic")) +
            e(0x0010, 0x0010, "PN", text("Doe^Jane")) + e(0x0010, 0x0020, "LO", text("4711")) +
            e(0x0010, 0x0030, "DA", text("19700101")) + e(0x0010, 0x0040, "CS", text("F")) +
            encode_sequence(0x0040, 0xB020, [annotation], explicit, defined) +
            encode_sequence(0x5400, 0x0100, items, explicit, defined))
    syntax = b"1.2.840.10008.1.2.1\0" if explicit else b"1.2.840.10008.1.2\0"
    meta_body = (encode_element(0x0002, 0x0001, "OB", b"\0\1", True) +
                 encode_element(0x0002, 0x0002, "UI", text("1.2.840.10008.5.1.4.1.1.9.1.1"), True) +
                 encode_element(0x0002, 0x0003, "UI", text("1.2.3.4.5"), True) +
                 encode_element(0x0002, 0x0010, "UI", syntax, True))
    meta_group = encode_element(0x0002, 0x0000, "UL", le(len(meta_body), 4), True) + meta_body
    return bytes(128) + b"DICM" + meta_group + body


def waveform_seeds(out):
    write(out, "waveform_to_bitmap", "ecg_3x250", waveform_file("ECG", [(3, 250, 500, "mV", 16)]))
    write(out, "waveform_to_bitmap", "ecg_12x100_undefined",
          waveform_file("ECG", [(12, 100, 500, "uV", 16)], defined=False))
    write(out, "waveform_to_bitmap", "ecg_implicit",
          waveform_file("ECG", [(2, 120, 250, "mV", 16)], explicit=False))
    write(out, "waveform_to_bitmap", "hd_two_waveforms",
          waveform_file("HD", [(2, 200, 240, "mm[Hg]", 16), (1, 100, 120, "mV", 16)]))
    write(out, "waveform_to_bitmap", "au_undefined",
          waveform_file("AU", [(1, 400, 8000, "mV", 8)], defined=False))


def main():
    out = sys.argv[1]
    sample_dir = sys.argv[2] if len(sys.argv) > 2 else SAMPLES
    if os.path.isdir(sample_dir):
        sample_seeds(out, sample_dir)
    pdu_seeds(out)
    private_rle_seeds(out)
    waveform_seeds(out)
    for target in sorted(os.listdir(out)):
        print("seeds %-22s %d" % (target, len(os.listdir(os.path.join(out, target)))))


if __name__ == "__main__":
    main()
