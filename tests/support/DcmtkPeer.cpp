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

// Starts command in dir once config has been written from config + ".in", its @PORT@ the free
// port the peer is given: for the servers that take their port from a file.
std::unique_ptr<DcmtkPeer> startConfigured(const std::string& dir, const std::string& config,
                                           const std::string& command) {
    return std::make_unique<DcmtkPeer>(
        "/bin/sh",
        std::vector<std::string>{
            "-c", "sed \"s/@PORT@/$1/\" " + config + ".in > " + config + " && exec " + command,
            "sh"},
        dir);
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
    return startConfigured(dir, "printer.cfg", "dcmprscp -c printer.cfg -d > printer.log 2>&1");
}

std::unique_ptr<DcmtkPeer> StartQueryScp(const std::string& dir, int maxAssociations) {
    std::filesystem::path root(dir);
    std::filesystem::create_directory(root / "db");
    std::ofstream(root / "dcmqrscp.cfg")
        << "NetworkTCPPort = 104\nMaxPDUSize = 16384\nMaxAssociations = " << maxAssociations
        << "\nHostTable BEGIN\nHostTable END\nVendorTable BEGIN\nVendorTable END\n"
           "AETable BEGIN\nARCHIVE "
        << (root / "db").string() << " RW (50, 64mb) ANY\nAETable END\n";
    return std::make_unique<DcmtkPeer>(
        "dcmqrscp", std::vector<std::string>{"-c", (root / "dcmqrscp.cfg").string()}, dir);
}

std::unique_ptr<DcmtkPeer> StartWorklistScp(const std::string& dir) {
    std::filesystem::path root(dir);
    std::filesystem::create_directory(root / "WLM");
    std::ofstream(root / "WLM" / "lockfile");
    return std::make_unique<DcmtkPeer>("wlmscpfs", std::vector<std::string>{"-dfp", dir}, dir);
}

std::string WorklistItem::Dump() const {
    auto optional = [](const std::string& tag, const std::string& value) {
        return value.empty() ? std::string() : tag + " PN [" + value + "]\n";
    };
    return "(0008,0005) CS [ISO_IR 100]\n(0008,0050) SH [ACC" + number + "]\n" +
           optional("(0008,0090)", referring) + "(0010,0010) PN [" + patient +
           "]\n(0010,0020) LO [PID" + number + "]\n(0010,0030) DA [" + birthDate +
           "]\n(0010,0040) CS [" + sex + "]\n(0020,000d) UI [1.2.826.0.1.3680043.2.1143." +
           (study.empty() ? number : study) + "]\n(0032,1060) LO [" + procedure +
           "]\n(0040,0100) SQ (Sequence with undefined length)\n"
           "(fffe,e000) na (Item with undefined length)\n(0008,0060) CS [" +
           modality + "]\n(0040,0001) AE [" + station + "]\n(0040,0002) DA [" + date +
           "]\n(0040,0003) TM [" + time + "]\n" + optional("(0040,0006)", performing) +
           "(0040,0007) LO [" + step + "]\n(0040,0009) SH [SPS" + number +
           "]\n(fffe,e00d) na (ItemDelimitationItem)\n"
           "(fffe,e0dd) na (SequenceDelimitationItem)\n(0040,1001) SH [RP" +
           number + "]\n(0040,1003) SH [" + priority + "]\n";
}

bool WriteWorklistFiles(const std::string& folder, const std::vector<std::string>& dumps) {
    TempDir texts;
    bool converted = true;
    for (std::size_t i = 0; i < dumps.size(); ++i) {
        const std::string name = "entry" + std::to_string(i + 1);
        std::ofstream(texts.file(name + ".dump")) << dumps[i];
        converted =
            converted && runCommand("dump2dcm " + shellQuote(texts.file(name + ".dump").string()) +
                                    " " + shellQuote(folder + "/" + name + ".wl") + " 2>&1")
                                 .exitStatus == 0;
    }
    return converted;
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
    return startConfigured(dir, "orthanc.json", "Orthanc orthanc.json > orthanc.log 2>&1");
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
    return startConfigured(dir, "orthanc.json", "Orthanc orthanc.json > orthanc.log 2>&1");
}

} // namespace testsupport
