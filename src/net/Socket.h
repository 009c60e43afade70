#pragma once
// The one connection to the remote application entity: a blocking TCP stream (IPv4 or IPv6),
// optionally wrapped in a TLS client session. It connects, or adopts a connection that a
// listening side (AssociationAcceptor) accepted.

#include "LinkFailure.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <openssl/ssl.h>

#include "Transport.h"

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

class Socket : public Transport {
public:
    Socket();
    ~Socket() override;

    // Receive time-out in seconds; 0 makes a read return 0 at once when nothing is waiting.
    // A send that cannot go on for as long fails too, so a peer that stops reading cannot
    // hold a job.
    bool SetTimeout(int seconds) override;
    int Timeout() const override { return timeout; }
    // From now until ClearDeadline, all reads together get one time-out, not each wait: a
    // peer that drips its answer byte by byte cannot stretch it. Nothing for a time-out of 0.
    void StartDeadline() override;
    void ClearDeadline() override { deadline.reset(); }
    // Something (bytes, a close or a reset) waits to be read; never blocks.
    bool InputWaiting() const override;
    // Waits up to the given time for something to read; false when nothing came. Unlike a
    // read that times out, this leaves the connection open.
    bool WaitForInput(std::chrono::milliseconds wait) const override;

    // Selects the TLS or the plain path of send and receive; set before connecting.
    void SetUseTLS(bool on) override { tlsEnabled = on; }
    bool UseTLS() const { return tlsEnabled; }

    // Host: a name or an IPv4 or IPv6 literal ("::1" or "[::1]"), resolved by getaddrinfo;
    // each address is tried in turn. Port: a number 1-65535, or else a service name. The whole
    // connect, every address together, is bounded by the time-out.
    bool Connect(const std::string& host, const std::string& port) override;
    // Takes over a connection accepted by a listening side (plain TCP), with the same socket
    // options as a connection of our own.
    bool Adopt(int descriptor);
    // Client handshake on the connected handle. The server is verified unless the options
    // accept any; host is what its certificate must name (a DNS name or an address).
    bool SetupTLS(const TlsOptions& options, const std::string& host) override;
    bool SendBinary(const std::uint8_t* data, int length) override;
    // Bytes received (1..size), 0 when a time-out of 0 expired, -1 on error or closed peer.
    // A time-out or a closed peer leaves the socket closed.
    int ReadBinary(std::uint8_t* area, int size) override;
    bool Close() override;

    bool IsConnected() const override { return connected; }
    int LastResult() const { return lastResult; }
    const ConnectFailure& LastFailure() const { return failure; }
    // True when the last read failed because its time-out ran out.
    bool TimedOut() const override { return readTimedOut; }
    std::string PeerAddress() const override;
    TlsSessionInfo TlsInfo() const override;

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

    // Waits for the handle to become readable within the time-out; false on time-out, error
    // or when the thread's job is cancelled (then cancelled is set).
    bool waitReadable();
    // Before each send of a block: false once the thread's job is cancelled and the block
    // cannot go on within a short grace.
    bool waitWritable(std::chrono::steady_clock::time_point blockStart);
    // Shared end of both read paths when nothing arrived in time.
    int timedOut();
    // Bounds blocking TLS reads (handshake, records split across segments) by the time-out.
    void applyReceiveTimeout();
    void applySendTimeout();
    // One address of the host: a non-blocking connect, then a wait until the deadline.
    bool connectTo(const struct addrinfo& address, std::chrono::steady_clock::time_point until);

    int lastResult = 0;
    Handle handle;
    bool connected = false;
    int timeout = 300;
    std::optional<std::chrono::steady_clock::time_point> deadline;
    std::unique_ptr<SSL_CTX, CtxFree> tlsContext;
    std::unique_ptr<SSL, SslFree> tlsSession;
    bool tlsEnabled = false;
    bool readTimedOut = false;
    std::string peerAddress;
    ConnectFailure failure;
    bool cancelled = false;
    std::optional<std::chrono::steady_clock::time_point> cancelSeen;
};
