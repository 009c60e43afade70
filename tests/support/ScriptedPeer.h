#pragma once
// A scripted peer on loopback: listens on 127.0.0.1 at a free port, accepts one connection on
// its own thread and plays a list of steps, byte by byte, for the odd cases a real peer will
// not produce (partial PDUs, silence, closes in the middle, malformed lengths).

#include "TestSupport.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// Every script is written in annotated hex.
using testsupport::hexBytes;

// The connection as the peer sees it. The plain one reads and writes the descriptor; a TLS
// test wraps it in a server session.
class PeerStream {
public:
    virtual ~PeerStream() = default;
    // Bytes read (> 0), 0 when the other side closed, -1 when nothing came in time, -2 when the
    // connection failed (a reset, say); a stream that cannot tell the two may return -1 for both.
    virtual long Read(std::uint8_t* area, std::size_t size, std::chrono::milliseconds wait) = 0;
    virtual bool Write(const std::uint8_t* data, std::size_t size) = 0;
};

// Makes the stream for an accepted descriptor, which it then owns; nullptr when it fails
// (a failed TLS handshake, for instance).
using PeerStreamFactory = std::function<std::unique_ptr<PeerStream>(int fd)>;

class ScriptedPeer {
public:
    struct Step {
        enum class Kind { Expect, Send, Close, Silent, ExpectEnd, Act };
        Kind kind = Kind::Close;
        std::size_t count = 0;           // Expect: bytes to capture
        std::vector<std::uint8_t> bytes; // Send
        std::chrono::milliseconds pause{0};
        std::function<void()> action; // Act
    };

    // Reads exactly n bytes and appends them to Received().
    static Step Expect(std::size_t n);
    static Step Send(std::vector<std::uint8_t> bytes);
    // Waits, then sends: bytes that arrive late, or in two parts.
    static Step SendAfter(std::chrono::milliseconds pause, std::vector<std::uint8_t> bytes);
    // Closes the connection; the remaining steps are not played.
    static Step Close();
    // Neither reads nor sends for the given time, or until the other side closes.
    static Step Silent(std::chrono::milliseconds duration);
    // Captures whatever arrives until the client ends the connection; a reset instead of an
    // orderly close, or no end within StepLimit, fails the script.
    static Step ExpectEnd();
    // Runs action on the peer's thread at this point of the conversation (a change to a file
    // while the client is sending it, for instance).
    static Step Act(std::function<void()> action);

    // Starts listening at once, so Port() is valid before the client connects. Without a
    // factory the steps run on the plain descriptor.
    explicit ScriptedPeer(std::vector<Step> steps, PeerStreamFactory factory = nullptr);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    std::uint16_t Port() const { return port; }
    std::string PortText() const { return std::to_string(port); }

    // Waits for the script to end; true when every step ran as scripted.
    bool Finish();
    // What the Expect steps captured; call after Finish.
    const std::vector<std::uint8_t>& Received() const { return received; }
    // Why the script stopped early, empty when it did not.
    const std::string& Failure() const { return failure; }

    // Longest wait of any step for the client (connect, expected bytes).
    static constexpr std::chrono::milliseconds StepLimit{10000};

private:
    void run();
    bool play(PeerStream& stream);

    std::vector<Step> steps;
    PeerStreamFactory factory;
    int listener = -1;
    std::uint16_t port = 0;
    std::atomic<bool> stop{false};
    std::thread worker;
    std::vector<std::uint8_t> received;
    std::string failure;
};

// The plain stream over a descriptor, for factories that wrap it.
std::unique_ptr<PeerStream> PlainPeerStream(int fd);
