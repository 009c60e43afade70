#pragma once
// A data set written as a Part 10 file, for the tests that need one on disk. Header only: it
// needs the DICOM layer, which the support library does not link.

#include "BufData.h"
#include "DcmObj.h"
#include "TestSupport.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

namespace testsupport {

// Preamble, "DICM", the meta group in explicit VR little endian, then the data set encoded as
// its flags say.
inline void writePart10(const std::filesystem::path& file, DcmObj& dataSet) {
    DcmObj meta;
    meta.explicitVR = 1;
    const uint8_t version[2] = {0, 1};
    meta.Append(std::make_unique<DcmTag>(0x0002, 0x0001, 2, version, "OB"));
    meta.Append(std::make_unique<DcmTag>(0x0002, 0x0002, dataSet.GetString(0x0008, 0x0016), "UI"));
    meta.Append(std::make_unique<DcmTag>(0x0002, 0x0003, dataSet.GetString(0x0008, 0x0018), "UI"));
    meta.Append(std::make_unique<DcmTag>(0x0002, 0x0010, dataSet.transferSyntax, "UI"));
    std::vector<uint8_t> bytes(128, 0);
    bytes.insert(bytes.end(), {'D', 'I', 'C', 'M'});
    BufData head(0);
    head.WriteObject(meta);
    std::vector<uint8_t> headBytes = head.TakeBytes();
    bytes.insert(bytes.end(), headBytes.begin(), headBytes.end());
    BufData body(dataSet.bigEndian);
    body.WriteObject(dataSet);
    std::vector<uint8_t> bodyBytes = body.TakeBytes();
    bytes.insert(bytes.end(), bodyBytes.begin(), bodyBytes.end());
    writeFileBytes(file, bytes);
}

} // namespace testsupport
