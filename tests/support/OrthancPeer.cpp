#include "OrthancPeer.h"

#include <filesystem>
#include <fstream>

namespace testsupport {

OrthancPeer::OrthancPeer(const std::string& dir, const std::string& ourTitle, int ourPort)
    : worklists(dir + "/worklists") {
    std::filesystem::create_directories(worklists);
    std::filesystem::create_directories(dir + "/db");
    // DcmtkPeer appends the port: the shell puts it into the configuration, then starts Orthanc.
    std::ofstream(dir + "/orthanc.json.in")
        << "{\n"
           "  \"Name\": \"veskaro-test\",\n"
           "  \"StorageDirectory\": \""
        << dir
        << "/db\",\n"
           "  \"IndexDirectory\": \""
        << dir
        << "/db\",\n"
           "  \"HttpServerEnabled\": false,\n"
           "  \"RemoteAccessAllowed\": false,\n"
           "  \"DicomAet\": \"ORTHANC\",\n"
           "  \"DicomPort\": @PORT@,\n"
           "  \"DicomCheckCalledAet\": false,\n"
           "  \"DicomAlwaysAllowStore\": true,\n"
           "  \"DicomAlwaysAllowFind\": true,\n"
           "  \"DicomAlwaysAllowMove\": true,\n"
           "  \"DicomAlwaysAllowGet\": true,\n"
           "  \"UnknownSopClassAccepted\": true,\n"
           "  \"DicomModalities\": { \"veskaro\": [ \""
        << ourTitle << "\", \"127.0.0.1\", " << ourPort
        << " ] },\n"
           "  \"Plugins\": [ \"/usr/share/orthanc/plugins/libModalityWorklists.so\" ],\n"
           "  \"Worklists\": { \"Enable\": true, \"Database\": \""
        << worklists
        << "\" }\n"
           "}\n";
    process = std::make_unique<DcmtkPeer>(
        "sh",
        std::vector<std::string>{"-c",
                                 "sed \"s/@PORT@/$1/\" orthanc.json.in > orthanc.json && exec "
                                 "Orthanc --logdir=. orthanc.json",
                                 "orthanc"},
        dir, 60);
}

} // namespace testsupport
