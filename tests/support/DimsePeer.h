#pragma once
// The scripted Modality Performed Procedure Step and Storage Commitment peer
// (tests/support/dimse-peer/peer.js, Node.js with dcmjs-dimse) on a free loopback port.

#include "DcmtkPeer.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class DimsePeer {
public:
    // options: peer.js's options (--commit, --commit-port, --fail, ...); what the peer
    // received goes to dir/received.json.
    DimsePeer(const std::string& dir, std::vector<std::string> options = {});
    bool Ready() const { return process && process->Ready(); }
    int Port() const { return process ? process->Port() : 0; }
    // Every request the peer kept, in arrival order.
    nlohmann::json Received() const;
    // The first kept entry whose "command" is command; null when there is none.
    nlohmann::json First(const std::string& command) const;

private:
    std::string file;
    std::unique_ptr<DcmtkPeer> process;
};

// A value of what the peer received, naturalized by dcmjs (a text, a list of them, a person
// name object), as one string: the first value, a name's alphabetic group.
std::string jsonText(const nlohmann::json& value);

// The setup options that send MPPS to this peer, called aet.
inline std::string mppsOptions(const DimsePeer& peer, const std::string& aet) {
    return " --mpps-host 127.0.0.1 --mpps-aet " + aet + " --mpps-port " +
           std::to_string(peer.Port());
}

// node on PATH and the peer's packages installed (tools/bootstrap.sh).
bool haveDimsePeer();

} // namespace testsupport
