// DcmObj::ReadRaw on the input as a file without preamble or meta header.
#include "DcmObj.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static fuzzsupport::ScratchFile file;
    DcmObj dataSet;
    if (DcmObj::ReadRaw(dataSet, file.Write(data, size))) {
        std::vector<std::string> lines;
        dataSet.Dump(lines, 0);
    }
    return 0;
}
