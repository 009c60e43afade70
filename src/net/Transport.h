#pragma once
// What the PDU buffer and the association service need of a link to the remote application
// entity. Socket is the real one; the tests put an in-memory stream in its place.

#include <cstdint>
#include <string>

class Transport {
public:
    Transport() = default;
    virtual ~Transport() = default;
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    virtual bool Connect(const std::string& host, const std::string& port) = 0;
    // Selects the TLS or the plain path; set before connecting.
    virtual void SetUseTLS(bool on) = 0;
    // Client handshake on the connected link; empty paths present no client certificate.
    virtual bool SetupTLS(const std::string& certificateFile, const std::string& keyFile) = 0;

    // Receive time-out in seconds; 0 makes a read return 0 at once when nothing is waiting.
    virtual bool SetTimeout(int seconds) = 0;
    virtual int Timeout() const = 0;
    // From now until ClearDeadline, all reads together get one time-out.
    virtual void StartDeadline() = 0;
    virtual void ClearDeadline() = 0;
    // Something (bytes, a close or a reset) waits to be read; never blocks.
    virtual bool InputWaiting() const = 0;

    // All of length bytes, or false.
    virtual bool SendBinary(const std::uint8_t* data, int length) = 0;
    // Bytes received (1..size), 0 when a time-out of 0 expired, -1 on error or closed peer.
    // A time-out or a closed peer leaves the link closed.
    virtual int ReadBinary(std::uint8_t* area, int size) = 0;
    virtual bool Close() = 0;
    virtual bool IsConnected() const = 0;
};
