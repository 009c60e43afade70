#include "DataDictionary.h"

#include <algorithm>
#include <iterator>

constexpr DictEntry DataDictionary[] = {
#include "DataDictionaryTable.inc"
    {0x0000, 0x0000, "", ""},
};

static_assert(std::size(DataDictionary) == DataDictionaryRows + 1,
              "dictionary.tsv and DataDictionaryRows disagree; regenerate the table");

namespace {

constexpr uint32_t key(uint16_t group, uint16_t element) {
    return (uint32_t{group} << 16) | element;
}

constexpr uint32_t key(const DictEntry& entry) {
    return key(entry.group, entry.element);
}

// The binary search below is only equivalent to a linear scan when the rows are strictly
// ascending, so a hand edit that breaks the order fails the build.
constexpr bool rowsStrictlyAscending() {
    for (std::size_t i = 1; i < DataDictionaryRows; ++i) {
        if (key(DataDictionary[i - 1]) >= key(DataDictionary[i])) {
            return false;
        }
    }
    return true;
}
static_assert(rowsStrictlyAscending(), "DataDictionaryTable.inc must be sorted and unique");

} // namespace

const DictEntry* FindDictEntry(uint16_t group, uint16_t element) {
    const DictEntry* first = DataDictionary;
    const DictEntry* last = DataDictionary + DataDictionaryRows;
    const uint32_t wanted = key(group, element);
    const DictEntry* found = std::lower_bound(
        first, last, wanted, [](const DictEntry& entry, uint32_t k) { return key(entry) < k; });
    if (found == last || key(*found) != wanted) {
        return nullptr;
    }
    return found;
}
