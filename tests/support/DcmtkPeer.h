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

// dcmqrscp in dir as "ARCHIVE", its configuration in dir/dcmqrscp.cfg and its database in
// dir/db, with room for maxAssociations at once.
std::unique_ptr<DcmtkPeer> StartQueryScp(const std::string& dir, int maxAssociations = 16);

// wlmscpfs answering from the worklist files in dir/WLM (made here, with its lock file).
std::unique_ptr<DcmtkPeer> StartWorklistScp(const std::string& dir);

// One scheduled procedure step as dump2dcm text. Its number sets the identifiers apart:
// accession ACC<n>, patient PID<n>, step SPS<n>, requested procedure RP<n>, study instance
// 1.2.826.0.1.3680043.2.1143.<study, or n>. The physicians are left out when empty.
struct WorklistItem {
    std::string number;
    std::string procedure, modality, station, date, time, step, priority;
    std::string patient = "Roe^Jane", birthDate = "19851224", sex = "F";
    std::string study = {}, referring = {}, performing = {};
    std::string Dump() const;
};

// Converts each dump text with dump2dcm into folder/entry<i>.wl (1, 2, ...); false when a
// conversion fails.
bool WriteWorklistFiles(const std::string& folder, const std::vector<std::string>& dumps);

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
