#pragma once

#include <cstddef>
#include <cstdint>

// One element of the data dictionary. The VR is two characters followed by two zero bytes.
struct DictEntry {
    uint16_t group;
    uint16_t element;
    char vr[4];
    const char* name;
};

// The 2429 rows followed by one terminating row (group 0, element 0, empty VR, empty name).
// Rows are sorted by (group, element) and unique. Names are 8-bit Latin-1 texts.
extern const DictEntry DataDictionary[];
inline constexpr std::size_t DataDictionaryRows = 2429;

// Exact match on both numbers (no masks, no private handling); nullptr when absent.
// Safe to call from any thread.
const DictEntry* FindDictEntry(uint16_t group, uint16_t element);
