#include "DimsePeer.h"

#include "LogFiles.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace testsupport {

namespace {

const std::string peerDir = std::string(VESKARO_SOURCE_DIR) + "/tests/support/dimse-peer";

} // namespace

std::string jsonText(const nlohmann::json& value) {
    if (value.is_array() && !value.empty())
        return jsonText(value[0]);
    if (value.is_object())
        return value.value("Alphabetic", "");
    return value.is_string() ? value.get<std::string>() : std::string();
}

bool haveDimsePeer() {
    if (!havePeers({"node"}))
        return false;
    if (std::filesystem::exists(peerDir + "/node_modules/dcmjs-dimse"))
        return true;
    if (peersRequired())
        ADD_FAILURE() << "dcmjs-dimse is not installed in " << peerDir;
    return false;
}

DimsePeer::DimsePeer(const std::string& dir, std::vector<std::string> options)
    : file(dir + "/received.json") {
    std::vector<std::string> args = {peerDir + "/peer.js", file};
    args.insert(args.end(), options.begin(), options.end());
    // Node takes a while to load its packages on a busy machine.
    process = std::make_unique<DcmtkPeer>("node", args, dir, 60);
}

nlohmann::json DimsePeer::Received() const {
    std::string text = readText(file);
    nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    return parsed.is_discarded() ? nlohmann::json::array() : parsed;
}

nlohmann::json DimsePeer::First(const std::string& command) const {
    for (const nlohmann::json& entry : Received())
        if (entry.value("command", "") == command)
            return entry;
    return nullptr;
}

} // namespace testsupport
