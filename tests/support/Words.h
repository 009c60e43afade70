#pragma once
// 16-bit sample values as the little-endian bytes native pixel data holds them in.

#include <cstdint>
#include <vector>

namespace testsupport {

inline std::vector<uint8_t> littleEndianWords(const std::vector<int>& values) {
    std::vector<uint8_t> bytes;
    for (int v : values) {
        bytes.push_back(static_cast<uint8_t>(v & 0xFF));
        bytes.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
    }
    return bytes;
}

} // namespace testsupport
