#pragma once
// Unsigned 16- and 32-bit numbers in a given byte order, the one place that knows how they sit
// in bytes. Read16/Read32 are bounded: a number that does not lie wholly inside the bytes
// gives nothing. Load/Store take a pointer to bytes the caller has already measured (inner
// sample loops), and never look past the width they name.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace ByteOrder {

inline constexpr bool Little = false;
inline constexpr bool Big = true;

constexpr std::uint16_t Load16(const std::uint8_t* p, bool bigEndian) {
    return bigEndian ? static_cast<std::uint16_t>(p[0] << 8 | p[1])
                     : static_cast<std::uint16_t>(p[1] << 8 | p[0]);
}

constexpr std::uint32_t Load32(const std::uint8_t* p, bool bigEndian) {
    const std::uint32_t first = Load16(p, bigEndian), second = Load16(p + 2, bigEndian);
    return bigEndian ? first << 16 | second : second << 16 | first;
}

constexpr void Store16(std::uint8_t* p, std::uint16_t value, bool bigEndian) {
    p[bigEndian ? 0 : 1] = static_cast<std::uint8_t>(value >> 8);
    p[bigEndian ? 1 : 0] = static_cast<std::uint8_t>(value & 0xFF);
}

constexpr void Store32(std::uint8_t* p, std::uint32_t value, bool bigEndian) {
    const auto high = static_cast<std::uint16_t>(value >> 16);
    const auto low = static_cast<std::uint16_t>(value & 0xFFFF);
    Store16(p, bigEndian ? high : low, bigEndian);
    Store16(p + 2, bigEndian ? low : high, bigEndian);
}

// The number at byte offset `at`; nothing when fewer than its width remain there.
constexpr std::optional<std::uint16_t> Read16(std::span<const std::uint8_t> bytes, std::size_t at,
                                              bool bigEndian) {
    if (at > bytes.size() || bytes.size() - at < 2)
        return std::nullopt;
    return Load16(bytes.data() + at, bigEndian);
}

constexpr std::optional<std::uint32_t> Read32(std::span<const std::uint8_t> bytes, std::size_t at,
                                              bool bigEndian) {
    if (at > bytes.size() || bytes.size() - at < 4)
        return std::nullopt;
    return Load32(bytes.data() + at, bigEndian);
}

} // namespace ByteOrder
