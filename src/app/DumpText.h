#pragma once
// The lines of the window's Dump and of `veskaro-cli dump`, shared so the two never differ.

#include "DcmObj.h"

#include <string>
#include <vector>

// "Transfer Syntax: " + the read's transfer syntax, then the data set's dump lines.
std::vector<std::string> DumpLines(DcmObj& dataSet);

// The pane and log line for a file the reader rejected.
std::string DumpUnreadableReason(const std::string& fileName);
