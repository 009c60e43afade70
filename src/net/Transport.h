#pragma once
// What the PDU buffer and the association service need of a link to the remote application
// entity. Socket is the real one; the tests put an in-memory stream in its place.

#include "LinkFailure.h"

#include <chrono>
#include <cstdint>
#include <string>

// How a TLS session is set up. A plain on/off keeps the sound defaults: the server's chain
// verified against the system's trust store and its name or address against the host, no
// client certificate, TLS 1.2 up to the highest version both ends offer.
struct TlsOptions {
    TlsOptions(bool on = false) : enabled(on) {} // NOLINT: on/off is the common case
    bool enabled;
    std::string caFile;          // extra trusted CAs (PEM), besides the system's
    std::string certificateFile; // client certificate (PEM), for mutual TLS
    std::string keyFile;         // its private key (PEM)
    bool acceptAnyServer = false;
    bool pinVersion12 = false;
};

// Why the last connect or handshake failed, kept for the reports above this layer.
struct ConnectFailure {
    enum class Stage { None, Resolve, Connect, TimedOut, Tls, Certificate };
    Stage stage = Stage::None;
    int error = 0;      // errno of the connect, getaddrinfo's code, or the TLS verify result
    std::string detail; // OpenSSL's reason for Tls and Certificate
};

// What the TLS session agreed on and whom it talks to; empty texts without a session.
struct TlsSessionInfo {
    std::string Protocol;
    std::string Cipher;
    std::string PeerSubject;
    std::string PeerIssuer;
    std::string PeerExpiry;
};

class Transport {
public:
    Transport() = default;
    virtual ~Transport() = default;
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    virtual bool Connect(const std::string& host, const std::string& port) = 0;
    // Selects the TLS or the plain path; set before connecting.
    virtual void SetUseTLS(bool on) = 0;
    // Client handshake on the connected link. The server is verified unless the options accept
    // any; host is what its certificate must name (a DNS name or an address).
    virtual bool SetupTLS(const TlsOptions& options, const std::string& host) = 0;

    // Receive time-out in seconds; 0 makes a read return 0 at once when nothing is waiting.
    virtual bool SetTimeout(int seconds) = 0;
    virtual int Timeout() const = 0;
    // From now until ClearDeadline, all reads together get one time-out.
    virtual void StartDeadline() = 0;
    virtual void ClearDeadline() = 0;
    // Something (bytes, a close or a reset) waits to be read; never blocks.
    virtual bool InputWaiting() const = 0;
    // Waits up to the given time for something to read; false when nothing came. Unlike a read
    // that times out, this leaves the link open.
    virtual bool WaitForInput(std::chrono::milliseconds wait) const = 0;

    // All of length bytes, or false.
    virtual bool SendBinary(const std::uint8_t* data, int length) = 0;
    // Bytes received (1..size), 0 when a time-out of 0 expired, -1 on error or closed peer.
    // A time-out or a closed peer leaves the link closed.
    virtual int ReadBinary(std::uint8_t* area, int size) = 0;
    virtual bool Close() = 0;
    virtual bool IsConnected() const = 0;
    // True when the last read failed because its time-out ran out.
    virtual bool TimedOut() const { return false; }

    // The first failure since the last Connect; empty while nothing failed.
    const LinkFailure& Failure() const { return linkFailure; }
    // Keeps the first failure: what comes after it is a consequence.
    void NoteFailure(LinkFailure what) {
        if (!linkFailure)
            linkFailure = std::move(what);
    }
    // The numeric address the last connect reached, kept after a close; else empty.
    virtual std::string PeerAddress() const { return {}; }
    virtual TlsSessionInfo TlsInfo() const { return {}; }

protected:
    void ClearFailure() { linkFailure = {}; }

private:
    LinkFailure linkFailure;
};
