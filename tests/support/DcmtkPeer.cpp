#include "DcmtkPeer.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {

// The port is filled in by the start command, which gets it as its last argument.
const char* const printScpConfig = R"([[GENERAL]]
[DATABASE]
Directory = db
[NETWORK]
AETitle = VESKARO_TEST
[PRINT]
Directory = spool
DetailedLog = true
BinaryLog = true

[[COMMUNICATION]]
[PRINTSCP]
Hostname = localhost
Type = LOCALPRINTER
Description = loopback test printer
Port = @PORT@
AETitle = PRINTSCP
ImplicitOnly = false
DisableNewVRs = false
Supports12Bit = true
SupportsPresentationLUT = true
SupportsImageSize = true
SupportsDecimateCrop = true
SupportsTrim = true
BorderDensity = BLACK\WHITE
EmptyImageDensity = BLACK\WHITE
MaxDensity = 320
MinDensity = 20
DisplayFormat = 1,1\2,1\1,2\2,2
FilmSizeID = 14INX17IN\14INX14IN\10INX12IN\8INX10IN\8_5INX11IN
MediumType = PAPER\CLEAR FILM\BLUE FILM
FilmDestination = MAGAZINE\PROCESSOR\BIN_1\BIN_2\BIN_3
MagnificationType = REPLICATE\BILINEAR\CUBIC\NONE
ResolutionID = STANDARD\HIGH
)";

bool accepts(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

} // namespace

bool havePeers(std::initializer_list<const char*> programs) {
    bool all = true;
    for (const char* program : programs)
        if (findProgram(program).empty()) {
            if (peersRequired())
                ADD_FAILURE() << program << " is missing";
            all = false;
        }
    return all;
}

int FreeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    ::close(fd);
    return ntohs(a.sin_port);
}

DcmtkPeer::DcmtkPeer(const std::string& program, std::vector<std::string> args,
                     const std::string& workingDir, int readySeconds) {
    port_ = FreeLoopbackPort();
    args.insert(args.begin(), program);
    args.push_back(std::to_string(port_));
    pid_ = ::fork();
    if (pid_ == 0) {
        if (::chdir(workingDir.c_str()) != 0)
            ::_exit(127);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    for (int i = 0; i < readySeconds * 20 && pid_ > 0; ++i) {
        if (accepts(port_)) {
            ready_ = true;
            break;
        }
        int status;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

DcmtkPeer::~DcmtkPeer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status;
        ::waitpid(pid_, &status, 0);
    }
}

std::unique_ptr<DcmtkPeer> StartPrintScp(const std::string& dir) {
    std::filesystem::create_directory(std::filesystem::path(dir) / "db");
    std::filesystem::create_directory(std::filesystem::path(dir) / "spool");
    std::ofstream(std::filesystem::path(dir) / "printer.cfg.in") << printScpConfig;
    return std::make_unique<DcmtkPeer>(
        "/bin/sh",
        std::vector<std::string>{"-c",
                                 "sed \"s/@PORT@/$1/\" printer.cfg.in > printer.cfg && "
                                 "exec dcmprscp -c printer.cfg -d > printer.log 2>&1",
                                 "sh"},
        dir);
}

std::unique_ptr<DcmtkPeer> StartOrthanc(const std::string& dir) {
    std::filesystem::path root(dir);
    std::filesystem::create_directory(root / "storage");
    std::filesystem::create_directory(root / "index");
    // Only its DICOM side, on loopback: no HTTP server, no plugins, any called AE title.
    std::ofstream(root / "orthanc.json.in") << R"({
  "Name": "VESKARO_TEST",
  "StorageDirectory": ")" << (root / "storage").string()
                                            << R"(",
  "IndexDirectory": ")" << (root / "index").string()
                                            << R"(",
  "StorageCompression": false,
  "HttpServerEnabled": false,
  "RemoteAccessAllowed": false,
  "Plugins": [],
  "DicomServerEnabled": true,
  "DicomAet": "ORTHANC",
  "DicomPort": @PORT@,
  "DicomCheckCalledAet": false,
  "DicomAlwaysAllowEcho": true,
  "DicomAlwaysAllowStore": true,
  "DicomModalities": {},
  "UnknownSopClassAccepted": false
}
)";
    return std::make_unique<DcmtkPeer>(
        "/bin/sh",
        std::vector<std::string>{"-c",
                                 "sed \"s/@PORT@/$1/\" orthanc.json.in > orthanc.json && "
                                 "exec Orthanc orthanc.json > orthanc.log 2>&1",
                                 "sh"},
        dir);
}

std::unique_ptr<DcmtkPeer> StartOrthanc(const std::string& dir,
                                        const std::string& acceptedSyntaxesJson) {
    std::filesystem::create_directory(std::filesystem::path(dir) / "storage");
    std::ofstream(std::filesystem::path(dir) / "orthanc.json.in")
        << "{\n"
           "  \"Name\": \"VESKARO_TEST\",\n"
           "  \"StorageDirectory\": \"storage\",\n"
           "  \"IndexDirectory\": \"storage\",\n"
           "  \"HttpServerEnabled\": false,\n"
           "  \"RemoteAccessAllowed\": false,\n"
           "  \"Plugins\": [],\n"
           "  \"DicomServerEnabled\": true,\n"
           "  \"DicomAet\": \"ORTHANC\",\n"
           "  \"DicomPort\": @PORT@,\n"
           "  \"DicomCheckCalledAet\": false,\n"
           "  \"DicomAlwaysAllowEcho\": true,\n"
           "  \"DicomAlwaysAllowStore\": true,\n"
           "  \"DicomAlwaysAllowFind\": true,\n"
           "  \"DicomAlwaysAllowMove\": true,\n"
           "  \"DicomAlwaysAllowGet\": true,\n"
           "  \"UnknownSopClassAccepted\": false,\n"
           "  \"AcceptedTransferSyntaxes\": "
        << acceptedSyntaxesJson << "\n}\n";
    // The database and storage are made at the first start, which takes longer.
    return std::make_unique<DcmtkPeer>(
        "/bin/sh",
        std::vector<std::string>{"-c",
                                 "sed \"s/@PORT@/$1/\" orthanc.json.in > orthanc.json && "
                                 "exec Orthanc orthanc.json > orthanc.log 2>&1",
                                 "sh"},
        dir, 30);
}

} // namespace testsupport
