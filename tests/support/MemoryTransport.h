#pragma once
// A link without a kernel: the input is scripted, the output captured, and every read and write
// can be made short or made to fail, so each partial and failing path of the PDU code runs in a
// single thread. Real-socket tests remain for what only the kernel does: time-outs, TLS, resets.
//
// Operations are the single reads and the single write pieces: a SendBinary of more than
// writeSize bytes is several pieces, as a send loop over a kernel that takes a little at a time.
// A failing read resets the link; a failing write piece fails its SendBinary after the pieces
// before it went out. Input that runs out without a remote close reads as a time-out.
// A fresh transport is connected, as a stream handed over by an accepting peer.

#include "Transport.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class MemoryTransport : public Transport {
public:
    enum class Op { Any, Read, Write };
    static constexpr std::size_t Unlimited = std::numeric_limits<std::size_t>::max();

    // Bytes readable at once, after whatever was supplied before.
    void Supply(const std::vector<std::uint8_t>& bytes);
    // Bytes readable once the output holds at least outputBytes: the far end answers only
    // what it has seen, and does not look like an interruption while the request goes out.
    void SupplyAfterOutput(std::size_t outputBytes, const std::vector<std::uint8_t>& bytes);
    // The far end closes after the input supplied so far (gated input included).
    void CloseRemote() { remoteClosing = true; }

    // Caps on the bytes of one read and of one write piece; 1 is one byte at a time.
    std::size_t readSize = Unlimited;
    std::size_t writeSize = Unlimited;
    // The n-th (1-based) operation of the kind fails; 0 clears it.
    void FailOn(int n, Op kind = Op::Any) {
        failAt = n;
        failKind = kind;
    }
    bool connectSucceeds = true;
    bool tlsSucceeds = true;
    // Called after each SendBinary that went out whole; may supply the far end's answer.
    std::function<void(MemoryTransport&)> onSend;

    const std::vector<std::uint8_t>& Output() const { return output; }
    // The length of each SendBinary that went out whole, in order.
    const std::vector<int>& Sends() const { return sends; }
    int Reads() const { return reads; }
    int WritePieces() const { return writePieces; }
    // Input not yet read, gated input included.
    std::size_t Unread() const;
    bool TlsRequested() const { return tlsOn; }
    const std::string& Host() const { return host; }
    const std::string& Port() const { return port; }
    int DeadlinesStarted() const { return deadlines; }

    bool Connect(const std::string& host, const std::string& port) override;
    void SetUseTLS(bool on) override { tlsOn = on; }
    bool SetupTLS(const TlsOptions& options, const std::string& host) override;
    bool SetTimeout(int seconds) override {
        timeout = seconds;
        return true;
    }
    int Timeout() const override { return timeout; }
    void StartDeadline() override { ++deadlines; }
    void ClearDeadline() override {}
    bool InputWaiting() const override;
    // Scripted input is there or not: nothing more arrives while waiting.
    bool WaitForInput(std::chrono::milliseconds) const override { return InputWaiting(); }
    bool SendBinary(const std::uint8_t* data, int length) override;
    int ReadBinary(std::uint8_t* area, int size) override;
    bool Close() override {
        connected = false;
        return true;
    }
    bool IsConnected() const override { return connected; }

private:
    struct Segment {
        std::size_t after = 0;
        std::vector<std::uint8_t> bytes;
    };
    bool failsNow(Op kind);
    // The bytes readable now, gated segments released as the output has grown.
    const std::vector<std::uint8_t>* front() const;

    std::deque<Segment> input;
    std::size_t consumed = 0; // of input.front()
    bool remoteClosing = false;
    std::vector<std::uint8_t> output;
    std::vector<int> sends;
    int reads = 0;
    int writePieces = 0;
    int operations = 0;
    int failAt = 0;
    Op failKind = Op::Any;
    bool connected = true;
    bool tlsOn = false;
    int timeout = 300;
    int deadlines = 0;
    std::string host;
    std::string port;
};

// Puts a fresh memory transport under a buffer (anything with SetTransport) and returns it;
// the buffer owns it.
template <class Target> MemoryTransport& UseMemoryTransport(Target& buffer) {
    auto transport = std::make_unique<MemoryTransport>();
    MemoryTransport& held = *transport;
    buffer.SetTransport(std::move(transport));
    return held;
}

} // namespace testsupport
