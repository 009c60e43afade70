// veskaro-cli: the window's jobs and dump from a terminal, in the current directory.

#include "DcmObj.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const usageText =
    "usage: veskaro-cli COMMAND [ARGS]\n"
    "  dump FILE      print the file's transfer syntax and one line per data element\n";

int usage() {
    std::fputs(usageText, stderr);
    return 2;
}

int dumpFile(const std::string& fileName) {
    DcmObj dataSet;
    if (!DcmObj::Read(dataSet, fileName))
        return 1;
    std::vector<std::string> lines;
    lines.push_back("Transfer Syntax: " + dataSet.transferSyntax);
    dataSet.Dump(lines, 0);
    std::string out;
    for (const std::string& line : lines) {
        out += line;
        out += '\n';
        if (out.size() > (1 << 16)) {
            std::fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return usage();
    std::string command = argv[1];
    if (command == "dump" && argc == 3)
        return dumpFile(argv[2]);
    if (command == "--help" || command == "help") {
        std::fputs(usageText, stdout);
        return 0;
    }
    return usage();
}
