#include "DumpText.h"

std::vector<std::string> DumpLines(DcmObj& dataSet) {
    std::vector<std::string> lines;
    lines.push_back("Transfer Syntax: " + dataSet.transferSyntax);
    dataSet.Dump(lines, 0);
    return lines;
}

std::string DumpUnreadableReason(const std::string& fileName) {
    return "Reason: " + fileName + " is not a DICOM file";
}
