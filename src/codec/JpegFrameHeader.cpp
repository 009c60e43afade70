#include "JpegFrameHeader.h"

#include "ByteOrder.h"

#include <cstddef>

namespace {

constexpr std::uint8_t StartOfImage = 0xD8;
constexpr std::uint8_t EndOfImage = 0xD9;
constexpr std::uint8_t StartOfScan = 0xDA;

// The C0 to CF markers but DHT (C4), JPG (C8) and DAC (CC), which share the range.
bool isFrameMarker(std::uint8_t m) {
    return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

// Markers that stand alone, without a length: TEM, RSTn, SOI; 00 is a stuffed byte.
bool standsAlone(std::uint8_t m) {
    return m == 0x00 || m == 0x01 || (m >= 0xD0 && m <= StartOfImage);
}

} // namespace

std::optional<JpegFrameHeader> ReadJpegFrameHeader(std::span<const std::uint8_t> stream) {
    if (stream.size() < 2 || stream[0] != 0xFF || stream[1] != StartOfImage)
        return std::nullopt;
    std::size_t at = 2;
    while (at + 1 < stream.size()) {
        const std::uint8_t m = stream[at + 1];
        if (stream[at] != 0xFF || m == 0xFF) {
            ++at; // a byte outside any segment, or a fill byte before a marker
            continue;
        }
        at += 2;
        if (standsAlone(m))
            continue;
        if (m == EndOfImage || m == StartOfScan)
            return std::nullopt;
        // The length counts itself but not the marker.
        const auto length = ByteOrder::Read16(stream, at, ByteOrder::Big);
        if (!length || *length < 2 || stream.size() - at < *length)
            return std::nullopt;
        if (isFrameMarker(m)) {
            if (*length < 8)
                return std::nullopt;
            const std::span<const std::uint8_t> body = stream.subspan(at + 2, *length - 2);
            JpegFrameHeader header;
            header.marker = m;
            header.precision = body[0];
            header.rows = *ByteOrder::Read16(body, 1, ByteOrder::Big);
            header.columns = *ByteOrder::Read16(body, 3, ByteOrder::Big);
            header.components = body[5];
            header.lossless = (m & 0x03) == 0x03;
            return header;
        }
        at += *length;
    }
    return std::nullopt;
}
