#pragma once
// A data set written as a DICOM file, for the tests that need one on disk. Header only: it
// needs the DICOM layer, which the support library does not link.

#include "BufData.h"
#include "DcmObj.h"
#include "TestSupport.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

namespace testsupport {

// Preamble, "DICM", the meta group (with its group length and an implementation class UID, as
// the independent tools expect) in explicit VR little endian, then the data set encoded as its
// flags say.
inline void writeDicomFile(const std::filesystem::path& file, DcmObj& dataSet) {
    std::vector<std::unique_ptr<DcmTag>> meta;
    const uint8_t version[2] = {0, 1};
    meta.push_back(std::make_unique<DcmTag>(0x0002, 0x0001, 2u, version, "OB"));
    meta.push_back(
        std::make_unique<DcmTag>(0x0002, 0x0002, dataSet.GetString(0x0008, 0x0016), "UI"));
    meta.push_back(
        std::make_unique<DcmTag>(0x0002, 0x0003, dataSet.GetString(0x0008, 0x0018), "UI"));
    meta.push_back(std::make_unique<DcmTag>(0x0002, 0x0010, dataSet.transferSyntax, "UI"));
    meta.push_back(
        std::make_unique<DcmTag>(0x0002, 0x0012, std::string("1.2.826.0.1.3680043.9.7133"), "UI"));
    BufData group(0);
    for (const auto& e : meta)
        group.WriteTag(*e, true);
    const std::vector<uint8_t> metaBytes = group.TakeBytes();
    BufData head(0);
    head.WriteTag(DcmTag(0x0002, 0x0000, static_cast<uint32_t>(metaBytes.size()), "UL"), true);
    BufData body(dataSet.bigEndian);
    body.WriteObject(dataSet);

    std::vector<uint8_t> bytes(128, 0);
    bytes.insert(bytes.end(), {'D', 'I', 'C', 'M'});
    const std::vector<uint8_t> h = head.TakeBytes(), d = body.TakeBytes();
    bytes.insert(bytes.end(), h.begin(), h.end());
    bytes.insert(bytes.end(), metaBytes.begin(), metaBytes.end());
    bytes.insert(bytes.end(), d.begin(), d.end());
    writeFileBytes(file, bytes);
}

} // namespace testsupport
