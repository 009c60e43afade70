#pragma once
// Orthanc on a free loopback port with a configuration written for the test: storage, study
// query and retrieve, the worklist plugin over a folder, storage commitment, and one known
// modality (our AE title at a local port) for its reports and C-MOVE.

#include "DcmtkPeer.h"

#include <memory>
#include <string>

namespace testsupport {

class OrthancPeer {
public:
    // dir receives the configuration, the database and the worklist folder (dir/worklists).
    OrthancPeer(const std::string& dir, const std::string& ourTitle, int ourPort);
    bool Ready() const { return process && process->Ready(); }
    int Port() const { return process ? process->Port() : 0; }
    std::string Title() const { return "ORTHANC"; }
    std::string WorklistDir() const { return worklists; }

private:
    std::string worklists;
    std::unique_ptr<DcmtkPeer> process;
};

} // namespace testsupport
