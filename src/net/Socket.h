#pragma once
// The one connection to the remote application entity: a blocking IPv4 TCP stream, optionally
// wrapped in a TLS 1.2 client session. Requesting side only; there is no listening side.

#include "LinkFailure.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <openssl/ssl.h>

// Appends one hex-and-text record of a block to the log file, in binary mode and without the
// log's lock (the dump is a raw trace, not a log line). Record layout:
//   header   the length by "%6d >> " (sent) or "%6d << " (received), exactly 10 bytes
//   hex      each of the first 256 bytes by "%02X "; " [MORE DATA...]" when 256 were shown
//   "\r\n"
//   text     the same bytes, those below 32 or above 122 as "."; the marker again
//   "\r\n\r\n"
void DumpTraffic(const std::uint8_t* data, int length, bool sent);

// Every address the host resolves to, IPv4 and IPv6, as numeric texts in the resolver's
// order; empty with error set to the resolver's code (EAI_*) when there is none.
std::vector<std::string> ResolveAddresses(const std::string& host, int& error);

// What the TLS session agreed on and whom it talks to; empty texts without a session.
struct TlsSessionInfo {
    std::string Protocol;
    std::string Cipher;
    std::string PeerSubject;
    std::string PeerIssuer;
    std::string PeerExpiry;
};

class Socket {
public:
    Socket();
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Receive time-out in seconds; 0 makes a read return 0 at once when nothing is waiting.
    // A send that cannot go on for as long fails too, so a peer that stops reading cannot
    // hold a job.
    bool SetTimeout(int seconds);
    int Timeout() const { return timeout; }
    // From now until ClearDeadline, all reads together get one time-out, not each wait: a
    // peer that drips its answer byte by byte cannot stretch it. Nothing for a time-out of 0.
    void StartDeadline();
    void ClearDeadline() { deadline.reset(); }
    // Something (bytes, a close or a reset) waits to be read; never blocks.
    bool InputWaiting() const;

    // Selects the TLS or the plain path of send and receive; set before connecting.
    void SetUseTLS(bool on) { tlsEnabled = on; }
    bool UseTLS() const { return tlsEnabled; }

    // Host: a text starting with a non-zero number is taken as a dotted address, anything else
    // is looked up first. Port: a number, or else a service name.
    bool Connect(const std::string& host, const std::string& port);
    // Client handshake on the connected handle; empty paths present no client certificate.
    bool SetupTLS(const std::string& certificateFile, const std::string& keyFile);
    bool SendBinary(const std::uint8_t* data, int length);
    // Bytes received (1..size), 0 when a time-out of 0 expired, -1 on error or closed peer.
    // A time-out or a closed peer leaves the socket closed.
    int ReadBinary(std::uint8_t* area, int size);
    bool Close();

    bool IsConnected() const { return connected; }
    int LastResult() const { return lastResult; }
    // The first failure since the last Connect; empty while nothing failed.
    const LinkFailure& Failure() const { return failure; }
    // Keeps the first failure: what comes after it is a consequence.
    void NoteFailure(LinkFailure what);
    // The numeric address of the peer when connected, else empty.
    std::string PeerAddress() const;
    TlsSessionInfo TlsInfo() const;

private:
    struct CtxFree {
        void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
    };
    struct SslFree {
        void operator()(SSL* p) const { SSL_free(p); }
    };
    // Owns a descriptor; -1 when closed.
    class Handle {
    public:
        Handle() = default;
        explicit Handle(int fd) : fd_(fd) {}
        Handle(Handle&& o) noexcept : fd_(o.release()) {}
        Handle& operator=(Handle&& o) noexcept;
        ~Handle() { reset(); }
        int get() const { return fd_; }
        explicit operator bool() const { return fd_ >= 0; }
        int release();
        void reset();

    private:
        int fd_ = -1;
    };

    // Waits for the handle to become readable within the time-out; false on time-out or error.
    bool waitReadable();
    // Shared end of both read paths when nothing arrived in time.
    int timedOut();
    // Bounds blocking TLS reads (handshake, records split across segments) by the time-out.
    void applyReceiveTimeout();
    void applySendTimeout();

    int lastResult = 0;
    LinkFailure failure;
    Handle handle;
    bool connected = false;
    int timeout = 300;
    std::optional<std::chrono::steady_clock::time_point> deadline;
    std::unique_ptr<SSL_CTX, CtxFree> tlsContext;
    std::unique_ptr<SSL, SslFree> tlsSession;
    bool tlsEnabled = false;
};
