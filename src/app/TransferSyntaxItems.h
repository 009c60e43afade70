#pragma once
// The TransferSyntax dialog's list and the UID that the Store button hands the STORE job for
// each item. Qt-free, so a front end without the dialog can offer the same choice.

#include "TransferSyntaxUids.h"

#include <array>
#include <string>
#include <string_view>

struct TransferSyntaxItem {
    std::string_view Item;
    std::string_view UID; // empty: implicit VR little endian, the job's own default
};

inline constexpr std::array<TransferSyntaxItem, 7> TransferSyntaxItems = {{
    {"little Endian, Explicit VR", ExplicitLittleEndian},
    {"little Endian, Implicit VR", ""},
    {"Big Endian, Explicit VR", ExplicitBigEndian},
    {"JPEG Lossless", JpegLossless},
    {"JPEG Lossy", JpegBaseline},
    {"JPEG 2K LossLess", J2kLossless},
    {"JPEG 2K Lossy", J2kLossy},
}};

// The UID for a dialog choice; any index outside the list (-1: nothing selected) leaves the
// job's UID as created, that is empty.
inline std::string TransferSyntaxUIDFor(int choice) {
    if (choice < 0 || static_cast<std::size_t>(choice) >= TransferSyntaxItems.size())
        return {};
    return std::string(TransferSyntaxItems[static_cast<std::size_t>(choice)].UID);
}
