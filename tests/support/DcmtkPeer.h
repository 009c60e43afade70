#pragma once
// Starts a DCMTK server program on a free loopback port and stops it by its PID.

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class DcmtkPeer {
public:
    // args: the program's arguments before the port, which is appended last. Waits up to
    // readySeconds for the port to accept connections (a server that builds its database first
    // is slow on a busy machine).
    DcmtkPeer(const std::string& program, std::vector<std::string> args,
              const std::string& workingDir, int readySeconds = 30);
    ~DcmtkPeer();
    DcmtkPeer(const DcmtkPeer&) = delete;
    DcmtkPeer& operator=(const DcmtkPeer&) = delete;

    // True once the program accepts connections.
    bool Ready() const { return ready_; }
    int Port() const { return port_; }

private:
    int pid_ = -1;
    int port_ = 0;
    bool ready_ = false;
};

// dcmprscp in dir as a grayscale printer "PRINTSCP" (DCMTK has no colour print SCP), with its
// database in dir/db, its spool in dir/spool and its output in dir/printer.log.
std::unique_ptr<DcmtkPeer> StartPrintScp(const std::string& dir);

// Orthanc in dir as "ORTHANC", DICOM only, its configuration in dir/orthanc.json, the files it
// stores under dir/storage (one DICOM file each, in nested folders), its log in dir/orthanc.log.
std::unique_ptr<DcmtkPeer> StartOrthanc(const std::string& dir);
// Orthanc in dir with a configuration written for the run: AE ORTHANC on a free loopback
// port, no HTTP server, storage in dir/storage, the given accepted transfer syntaxes (JSON
// array of UID texts), every SCU allowed. Its output in dir/orthanc.log.
std::unique_ptr<DcmtkPeer> StartOrthanc(const std::string& dir,
                                        const std::string& acceptedSyntaxesJson);

// A loopback port that nothing listens on at the moment of the call.
int FreeLoopbackPort();

// True when every program is on PATH. Each missing one fails the test when peers are required;
// otherwise the caller skips.
bool havePeers(std::initializer_list<const char*> programs);

} // namespace testsupport
