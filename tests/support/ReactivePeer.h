#pragma once
// A peer on loopback that answers what the client sends instead of playing a fixed script:
// it reads whole PDUs, hands the association request and each whole DIMSE message (command
// and data set, fragments joined) to handlers and sends back what they return. Free of the
// program's layers; ReactiveDimsePeer.h puts the DICOM decoding on top.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class ReactivePeer {
public:
    using Bytes = std::vector<std::uint8_t>;
    struct Handlers {
        // The whole A-ASSOCIATE-RQ PDU; returns the PDU to answer with (an AC or an RJ).
        std::function<Bytes(const Bytes& request)> associate;
        // One message on presentation context `context`: the command's bytes and the data
        // set's (empty when none follows); returns the PDUs to send back, in order, in one
        // write.
        std::function<std::vector<Bytes>(std::uint8_t context, const Bytes& command,
                                         const Bytes& dataSet)>
            message;
    };

    // Listens at once and serves up to `associations` connections, one after the other (a
    // client that retries on a second association, say).
    explicit ReactivePeer(Handlers handlers, int associations = 1);
    ~ReactivePeer();
    ReactivePeer(const ReactivePeer&) = delete;
    ReactivePeer& operator=(const ReactivePeer&) = delete;

    std::uint16_t Port() const { return port; }
    std::string PortText() const { return std::to_string(port); }
    // Waits until the last connection ends, or none comes within StepLimit.
    void Finish();
    // Connections accepted and A-RELEASE-RQs answered; call after Finish.
    int Connections() const { return connections; }
    int Releases() const { return releases; }

    static constexpr std::chrono::milliseconds StepLimit{10000};

private:
    void run();
    void serve(int fd);

    Handlers handlers;
    int associations;
    int listener = -1;
    std::uint16_t port = 0;
    std::atomic<bool> stop{false};
    std::thread worker;
    int connections = 0;
    int releases = 0;
};

} // namespace testsupport
