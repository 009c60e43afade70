// DcmObj::ConvertTransferSyntax on a decoded file, then a dump of the result. First byte: the
// target (modulo 8), the syntaxes the store dialog offers and JPEG Extended, which a peer may
// accept and which maps CR images through their VOI LUT first; the rest is the whole file.
#include "DcmObj.h"
#include "FuzzSupport.h"

#include <array>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const std::array<std::string, 8> targets = {
        "1.2.840.10008.1.2.1",    "1.2.840.10008.1.2",      "1.2.840.10008.1.2.2",
        "1.2.840.10008.1.2.4.70", "1.2.840.10008.1.2.4.50", "1.2.840.10008.1.2.4.90",
        "1.2.840.10008.1.2.4.91", "1.2.840.10008.1.2.4.51"};
    static fuzzsupport::ScratchDirectory directory;
    static fuzzsupport::ScratchFile file;
    const std::size_t choice = fuzzsupport::TakeLE(data, size, 1) % targets.size();
    DcmObj dataSet;
    if (!DcmObj::Read(dataSet, file.Write(data, size)))
        return 0;
    DcmObj::ConvertTransferSyntax(dataSet, targets[choice]);
    std::vector<std::string> lines;
    dataSet.Dump(lines, 0);
    return 0;
}
