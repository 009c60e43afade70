// DcmObj::Read on the input as a whole file (preamble, meta header, data set), then a dump of
// what was decoded.
#include "DcmObj.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static fuzzsupport::ScratchFile file;
    DcmObj dataSet;
    if (DcmObj::Read(dataSet, file.Write(data, size))) {
        std::vector<std::string> lines;
        dataSet.Dump(lines, 0);
    }
    return 0;
}
