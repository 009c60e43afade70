#include "Socket.h"

#include "JobControl.h"
#include "Log.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <mutex>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr int DumpCap = 256;
constexpr const char* MoreData = " [MORE DATA...]";

// The leading decimal number of a text, read as atoi does: blanks, an optional sign, digits.
long leadingNumber(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 0xFFFFFFFFL)
            value = 0xFFFFFFFFL + 1; // far beyond any address or port; stays non-zero
    }
    return negative ? -value : value;
}

// The host as getaddrinfo takes it: an IPv6 literal may come in brackets, as in a URL.
std::string bareHost(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        return host.substr(1, host.size() - 2);
    return host;
}

bool isAddressLiteral(const std::string& host) {
    in6_addr scratch{};
    return inet_pton(AF_INET, host.c_str(), &scratch) == 1 ||
           inet_pton(AF_INET6, host.c_str(), &scratch) == 1;
}

struct AddrInfoFree {
    void operator()(addrinfo* p) const { freeaddrinfo(p); }
};

std::string openSslReason() {
    unsigned long code = ERR_peek_last_error();
    char text[256] = {};
    if (code != 0)
        ERR_error_string_n(code, text, sizeof text);
    return text;
}

// Port in network order, or 0 when neither a number nor a known service name.
std::uint16_t resolvePort(const std::string& port) {
    long number = leadingNumber(port);
    if (number > 0xFFFF || number < 0)
        return 0; // cut to 16 bits it would reach another port, and another peer
    if (number != 0)
        return htons(static_cast<std::uint16_t>(number));
    servent entry{};
    servent* found = nullptr;
    char scratch[1024];
    if (getservbyname_r(port.c_str(), nullptr, &entry, scratch, sizeof scratch, &found) == 0 &&
        found)
        return static_cast<std::uint16_t>(found->s_port);
    return 0;
}

// A peer that vanishes must show as a failed send, not kill the process: OpenSSL writes to
// the descriptor without MSG_NOSIGNAL. This is the POSIX counterpart of the socket library start.
void startSocketLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current {};
        if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            std::signal(SIGPIPE, SIG_IGN);
    });
}

// A peer that writes its answer in two parts with Nagle on waits for our acknowledgement of
// the first before it sends the second; a delayed acknowledgement would cost every answer tens
// of milliseconds. Linux drops the setting after a while, so it is renewed around each read.
void acknowledgeAtOnce(int fd) {
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

} // namespace

std::vector<std::string> ResolveAddresses(const std::string& host, int& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::vector<std::string> addresses;
    error = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    for (addrinfo* at = error == 0 ? found : nullptr; at; at = at->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        if (getnameinfo(at->ai_addr, at->ai_addrlen, text, sizeof text, nullptr, 0,
                        NI_NUMERICHOST) == 0 &&
            std::find(addresses.begin(), addresses.end(), text) == addresses.end())
            addresses.emplace_back(text);
    }
    if (found)
        freeaddrinfo(found);
    if (error == 0 && addresses.empty())
        error = EAI_NONAME;
    return addresses;
}

void DumpTraffic(const std::uint8_t* data, int length, bool sent) {
    std::string name = LogFileName();
    if (name.empty())
        return;
    std::FILE* f = std::fopen(name.c_str(), "ab");
    if (!f)
        return;
    std::string record;
    char header[32];
    std::snprintf(header, sizeof header, sent ? "%6d >> " : "%6d << ", length);
    record.append(header, 10);
    int shown = std::clamp(length, 0, DumpCap);
    for (int i = 0; i < shown; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X ", data[i]);
        record.append(hex, 3);
    }
    if (shown == DumpCap)
        record += MoreData;
    record += "\r\n";
    for (int i = 0; i < shown; ++i)
        record += (data[i] < 32 || data[i] > 122) ? '.' : static_cast<char>(data[i]);
    if (shown == DumpCap)
        record += MoreData;
    record += "\r\n\r\n";
    std::fwrite(record.data(), 1, record.size(), f);
    std::fclose(f);
}

Socket::Handle& Socket::Handle::operator=(Handle&& o) noexcept {
    if (this != &o) {
        reset();
        fd_ = o.release();
    }
    return *this;
}

int Socket::Handle::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void Socket::Handle::reset() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

Socket::Socket() {
    startSocketLibrary();
}

Socket::~Socket() {
    tlsSession.reset();
    tlsContext.reset();
    if (handle)
        ::shutdown(handle.get(), SHUT_RDWR);
}

bool Socket::SetTimeout(int seconds) {
    timeout = seconds;
    if (connected && tlsSession)
        applyReceiveTimeout();
    if (connected)
        applySendTimeout();
    return true;
}

void Socket::StartDeadline() {
    if (timeout > 0)
        deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
    else
        deadline.reset();
}

bool Socket::InputWaiting() const {
    if (!handle)
        return false;
    pollfd entry{handle.get(), POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0;
}

bool Socket::WaitForInput(std::chrono::milliseconds wait) const {
    if (!handle)
        return false;
    if (tlsSession && SSL_pending(tlsSession.get()) > 0)
        return true;
    pollfd entry{handle.get(), POLLIN, 0};
    int ready;
    do
        ready =
            ::poll(&entry, 1, static_cast<int>(std::clamp<long long>(wait.count(), 0, 2000000000)));
    while (ready < 0 && errno == EINTR);
    return ready > 0;
}

std::string Socket::PeerAddress() const {
    return peerAddress;
}

namespace {

std::string nameText(X509_NAME* name) {
    if (!name)
        return {};
    char text[512] = {};
    X509_NAME_oneline(name, text, sizeof text);
    return text;
}

std::string timeText(const ASN1_TIME* time) {
    if (!time)
        return {};
    std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), BIO_free);
    if (!out || ASN1_TIME_print(out.get(), time) != 1)
        return {};
    char* bytes = nullptr;
    long size = BIO_get_mem_data(out.get(), &bytes);
    return std::string(bytes, static_cast<std::size_t>(size));
}

} // namespace

TlsSessionInfo Socket::TlsInfo() const {
    TlsSessionInfo info;
    if (!tlsSession)
        return info;
    info.Protocol = SSL_get_version(tlsSession.get());
    if (const char* cipher = SSL_get_cipher_name(tlsSession.get()))
        info.Cipher = cipher;
    if (X509* peer = SSL_get1_peer_certificate(tlsSession.get())) {
        info.PeerSubject = nameText(X509_get_subject_name(peer));
        info.PeerIssuer = nameText(X509_get_issuer_name(peer));
        info.PeerExpiry = timeText(X509_get0_notAfter(peer));
        X509_free(peer);
    }
    return info;
}

bool Socket::Connect(const std::string& host, const std::string& port) {
    Close();
    failure = ConnectFailure{};
    readTimedOut = false;
    ClearFailure();
    peerAddress.clear();
    std::uint16_t networkPort = resolvePort(port);
    if (networkPort == 0) {
        failure.stage = ConnectFailure::Stage::Resolve;
        NoteFailure({.Fault = LinkFault::UnknownPort, .Text = port});
        LogMessage("ERROR, could not resolve host port");
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    std::string name = bareHost(host);
    int code = getaddrinfo(name.c_str(), nullptr, &hints, &found);
    std::unique_ptr<addrinfo, AddrInfoFree> addresses(found);
    if (code != 0 || !found) {
        failure.stage = ConnectFailure::Stage::Resolve;
        failure.error = code;
        failure.detail = gai_strerror(code);
        NoteFailure({.Fault = LinkFault::ResolveFailed, .Code = code, .Text = host});
        LogMessage("ERROR, Socket::Connect, could not resolve host " + host + ": " +
                   failure.detail);
        return false;
    }
    auto until =
        std::chrono::steady_clock::now() + std::chrono::seconds(timeout > 0 ? timeout : 2000000);
    int error = 0;
    for (addrinfo* address = found; address; address = address->ai_next) {
        if (address->ai_family == AF_INET)
            reinterpret_cast<sockaddr_in*>(address->ai_addr)->sin_port = networkPort;
        else if (address->ai_family == AF_INET6)
            reinterpret_cast<sockaddr_in6*>(address->ai_addr)->sin6_port = networkPort;
        else
            continue;
        if (connectTo(*address, until)) {
            applySendTimeout();
            // Kept after a close, so that a failure later on can still name the address.
            char text[INET6_ADDRSTRLEN] = {};
            if (getnameinfo(address->ai_addr, address->ai_addrlen, text, sizeof text, nullptr, 0,
                            NI_NUMERICHOST) == 0)
                peerAddress = text;
            return true;
        }
        if (failure.stage == ConnectFailure::Stage::None)
            return false; // the socket itself could not be made: already reported
        error = failure.error;
        if (failure.stage == ConnectFailure::Stage::TimedOut)
            break;
    }
    NoteFailure({.Fault = failure.stage == ConnectFailure::Stage::TimedOut
                              ? LinkFault::ConnectTimedOut
                          : error == ECONNREFUSED ? LinkFault::Refused
                                                  : LinkFault::ConnectFailed,
                 .Code = error,
                 .Seconds = timeout,
                 .Text = host + ":" + port});
    LogMessage("ERROR, Connecting to Socket: " + host + ":" + port + ", " + std::to_string(error));
    return false;
}

bool Socket::connectTo(const addrinfo& address, std::chrono::steady_clock::time_point until) {
    Handle fresh(::socket(address.ai_family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!fresh) {
        LogMessage("ERROR, could not create socket");
        return false;
    }
    int noDelay = 1;
    if (::setsockopt(fresh.get(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay) != 0) {
        LogMessage("ERROR, set socket option");
        return false;
    }
    // Non-blocking only while connecting: a peer that drops SYNs must not hold the job for
    // the kernel's retries, which alone take about two minutes.
    int flags = ::fcntl(fresh.get(), F_GETFL, 0);
    ::fcntl(fresh.get(), F_SETFL, flags | O_NONBLOCK);
    lastResult = ::connect(fresh.get(), address.ai_addr, address.ai_addrlen);
    int error = lastResult == 0 ? 0 : errno;
    // Our own deadline ran out (poll may return a fraction of a millisecond before it).
    bool expired = false;
    if (lastResult != 0 && error == EINPROGRESS) {
        pollfd entry{fresh.get(), POLLOUT, 0};
        int ready;
        do {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            ready = ::poll(&entry, 1,
                           static_cast<int>(std::clamp<long long>(left.count(), 0, 2000000000)));
        } while (ready < 0 && errno == EINTR);
        if (ready == 0) {
            error = ETIMEDOUT;
            expired = true;
        } else {
            socklen_t size = sizeof error;
            if (::getsockopt(fresh.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                error = errno;
        }
        lastResult = error == 0 ? 0 : -1;
    }
    if (lastResult != 0) {
        failure.stage = expired || (error == ETIMEDOUT && std::chrono::steady_clock::now() >= until)
                            ? ConnectFailure::Stage::TimedOut
                            : ConnectFailure::Stage::Connect;
        failure.error = error;
        return false;
    }
    ::fcntl(fresh.get(), F_SETFL, flags);
    handle = std::move(fresh);
    connected = true;
    return true;
}

bool Socket::Adopt(int descriptor) {
    Close();
    peerAddress.clear();
    if (descriptor < 0)
        return false;
    Handle adopted(descriptor);
    linger lingerOption{1, 0};
    ::setsockopt(adopted.get(), SOL_SOCKET, SO_LINGER, &lingerOption, sizeof lingerOption);
    int noDelay = 1;
    ::setsockopt(adopted.get(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    handle = std::move(adopted);
    tlsEnabled = false;
    connected = true;
    applySendTimeout();
    return true;
}

void Socket::applyReceiveTimeout() {
    timeval limit{};
    limit.tv_sec = timeout > 0 ? timeout : 0;
    ::setsockopt(handle.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

void Socket::applySendTimeout() {
    timeval limit{};
    limit.tv_sec = timeout > 0 ? timeout : 0;
    ::setsockopt(handle.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

bool Socket::SetupTLS(const TlsOptions& options, const std::string& host) {
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    tlsSession.reset();
    tlsContext.reset(SSL_CTX_new(TLS_client_method()));
    if (!tlsContext) {
        NoteFailure({.Fault = LinkFault::TlsSetup, .Text = "the TLS client context"});
        LogMessage("ERROR, Socket, couldn't create SSL_CTX");
        return false;
    }
    SSL_CTX* context = tlsContext.get();
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(context, options.pinVersion12 ? TLS1_2_VERSION : 0);
    if (!options.certificateFile.empty() &&
        SSL_CTX_use_certificate_file(context, options.certificateFile.c_str(), SSL_FILETYPE_PEM) <=
            0) {
        ERR_clear_error();
        NoteFailure(
            {.Fault = LinkFault::TlsSetup, .Text = "the certificate " + options.certificateFile});
        LogMessage("ERROR, Socket, couldn't load SSL Certificate");
        return false;
    }
    if (!options.keyFile.empty() &&
        SSL_CTX_use_PrivateKey_file(context, options.keyFile.c_str(), SSL_FILETYPE_PEM) <= 0) {
        ERR_clear_error();
        NoteFailure({.Fault = LinkFault::TlsSetup, .Text = "the private key " + options.keyFile});
        LogMessage("ERROR, Socket, couldn't load SSL Key");
        return false;
    }
    if (options.acceptAnyServer) {
        SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
        LogMessage("WARNING, Socket::Connect, TLS server certificate not verified: the peer "
                   "is not authenticated");
    } else {
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_default_verify_paths(context);
        if (!options.caFile.empty() &&
            SSL_CTX_load_verify_locations(context, options.caFile.c_str(), nullptr) != 1) {
            ERR_clear_error();
            NoteFailure({.Fault = LinkFault::TlsSetup, .Text = "the CA file " + options.caFile});
            LogMessage("ERROR, Socket, couldn't load TLS CA file " + options.caFile);
            return false;
        }
    }
    tlsSession.reset(SSL_new(context));
    if (!tlsSession) {
        NoteFailure({.Fault = LinkFault::TlsSetup, .Text = "the TLS session"});
        LogMessage("ERROR, Socket, couldn't create SSL_new");
        return false;
    }
    SSL* session = tlsSession.get();
    std::string name = bareHost(host);
    if (isAddressLiteral(name)) {
        if (!options.acceptAnyServer)
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(session), name.c_str());
    } else {
        SSL_set_tlsext_host_name(session, name.c_str());
        if (!options.acceptAnyServer)
            SSL_set1_host(session, name.c_str());
    }
    // A silent server must not hold the handshake past the receive time-out.
    applyReceiveTimeout();
    SSL_set_fd(session, handle.get());
    lastResult = SSL_connect(session);
    if (lastResult == 1)
        return true;
    int code = SSL_get_error(session, lastResult);
    int savedErrno = errno;
    unsigned long first = ERR_peek_error();
    char text[256] = {};
    if (first != 0)
        ERR_error_string_n(first, text, sizeof text);
    long verified = SSL_get_verify_result(session);
    std::string reason = openSslReason();
    LinkFailure handshake{.Fault = LinkFault::TlsHandshake,
                          .Code = code,
                          .Detail = first != 0 ? ERR_GET_REASON(first) : 0,
                          .Verify = verified,
                          .Seconds = timeout,
                          .Text = text};
    // A plain failure of the link underneath the handshake: say how the link ended.
    if (code == SSL_ERROR_SYSCALL && first == 0)
        handshake.Detail = -savedErrno;
    NoteFailure(std::move(handshake));
    ERR_clear_error();
    if (!options.acceptAnyServer && verified != X509_V_OK) {
        failure.stage = ConnectFailure::Stage::Certificate;
        failure.error = static_cast<int>(verified);
        failure.detail = X509_verify_cert_error_string(verified);
        LogMessage("ERROR, Socket::Connect, TLS certificate rejected: " + failure.detail);
        return false;
    }
    failure.stage = ConnectFailure::Stage::Tls;
    failure.error = code;
    failure.detail = reason;
    LogMessage("ERROR, Socket, connecting to SSL server: " + std::to_string(code));
    return false;
}

bool Socket::SendBinary(const std::uint8_t* data, int length) {
    if (!connected)
        return false;
    if (tlsEnabled) {
        int result = tlsSession ? SSL_write(tlsSession.get(), data, length) : -1;
        if (length > 0 && result <= 0) {
            int code = tlsSession ? SSL_get_error(tlsSession.get(), result) : SSL_ERROR_SSL;
            ERR_clear_error();
            NoteFailure({.Fault = LinkFault::Reset, .Code = errno});
            LogMessage("ERROR, Socket::SSL_write, couldn't send: " + std::to_string(code));
            return false;
        }
    } else {
        int sent = 0;
        auto start = std::chrono::steady_clock::now();
        while (sent < length) {
            // Under a job the send must not block, so that the wait below can watch for
            // cancellation. The send comes first: the kernel reports a socket writable only
            // once a good part of its buffer is free, yet takes a block with less.
            const bool polled = CurrentJobControl() != nullptr;
            ssize_t n = ::send(handle.get(), data + sent, length - sent,
                               MSG_NOSIGNAL | (polled ? MSG_DONTWAIT : 0));
            if (n < 0 && errno == EINTR)
                continue;
            bool wouldBlock = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            if (n < 0 && !wouldBlock) {
                NoteFailure({.Fault = errno == EPIPE ? LinkFault::Closed : LinkFault::Reset,
                             .Code = errno});
                LogMessage("ERROR, Socket::SendBinary, couldn't send: " + std::to_string(errno));
                return false;
            }
            if (n > 0)
                sent += static_cast<int>(n);
            if (sent >= length)
                break;
            // The send time-out cuts a block short; the block as a whole gets one time-out.
            bool expired = timeout > 0 && std::chrono::steady_clock::now() - start >=
                                              std::chrono::seconds(timeout);
            if ((wouldBlock && !polled) || expired) {
                NoteFailure({.Fault = LinkFault::SendTimedOut, .Seconds = timeout});
                LogMessage("ERROR, Socket::SendBinary, Timed out");
                return false;
            }
            if (wouldBlock && !waitWritable(start)) {
                // Part of a PDU may be out: nothing but a close can follow it.
                LogMessage("ERROR, Socket::SendBinary, cancelled");
                Close();
                return false;
            }
        }
    }
    if (CurrentLogLevel >= 3)
        DumpTraffic(data, length, true);
    return true;
}

bool Socket::waitWritable(std::chrono::steady_clock::time_point blockStart) {
    const JobControl* control = CurrentJobControl();
    if (!control)
        return true;
    // A cancelled job still finishes the block it has begun, so the PDU on the wire stays
    // whole and the abort that follows is understood; a peer that takes nothing gets a moment.
    constexpr auto Grace = std::chrono::milliseconds(500);
    for (;;) {
        auto now = std::chrono::steady_clock::now();
        if (control->IsCancelled()) {
            auto cancelledAt = cancelSeen.value_or(now);
            cancelSeen = cancelledAt;
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(cancelledAt + Grace - now);
            if (left.count() <= 0)
                return false;
            pollfd entry{handle.get(), POLLOUT, 0};
            int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
            if (ready > 0)
                return true;
            if (ready < 0 && errno == EINTR)
                continue;
            return false;
        }
        // Not cancelled: the block's own time-out still applies in the send loop.
        int milliseconds = 1000;
        if (timeout > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                blockStart + std::chrono::seconds(timeout) - now);
            milliseconds = static_cast<int>(std::clamp<long long>(left.count(), 0, 1000));
        }
        pollfd entries[2] = {{handle.get(), POLLOUT, 0}, {control->WakeHandle(), POLLIN, 0}};
        int ready = ::poll(entries, 2, milliseconds);
        if (ready > 0 && entries[0].revents != 0)
            return true;
        if (ready == 0 && milliseconds == 0)
            return true; // let the send loop report the time-out
    }
}

bool Socket::waitReadable() {
    cancelled = false;
    const JobControl* control = CurrentJobControl();
    if (control && control->IsCancelled()) {
        cancelled = true;
        return false;
    }
    // The job's wake handle ends the wait as soon as the job is cancelled.
    pollfd entries[2] = {{handle.get(), POLLIN, 0},
                         {control ? control->WakeHandle() : -1, POLLIN, 0}};
    int milliseconds = timeout <= 0 ? 0 : (timeout > 2000000 ? 2000000000 : timeout * 1000);
    if (deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            *deadline - std::chrono::steady_clock::now());
        milliseconds = static_cast<int>(std::clamp<long long>(left.count(), 0, milliseconds));
    }
    int ready;
    do
        ready = ::poll(entries, 2, milliseconds);
    while (ready < 0 && errno == EINTR);
    if (control && control->IsCancelled()) {
        cancelled = true;
        return false;
    }
    return ready > 0 && entries[0].revents != 0;
}

int Socket::timedOut() {
    if (cancelled) {
        // The connection stays open so that the association can still be aborted properly.
        LogMessage("ERROR, Socket::ReadBinary, cancelled");
        return -1;
    }
    Close();
    readTimedOut = true;
    if (timeout != 0) {
        NoteFailure({.Fault = LinkFault::ReceiveTimedOut, .Seconds = timeout});
        LogMessage("ERROR, Socket::ReadBinary, Timed out");
        return -1;
    }
    return 0;
}

int Socket::ReadBinary(std::uint8_t* area, int size) {
    if (!connected)
        return -1;
    readTimedOut = false;
    if (tlsEnabled) {
        if (!tlsSession) {
            LogMessage("WARNING, Socket::ReadBinary, sslobj is NULL");
            return -1;
        }
        // A record without application data (a TLS 1.3 session ticket) makes SSL_read wait on
        // for more within the receive time-out and report WANT_READ: the wait goes on until
        // the time-out as a whole has passed.
        acknowledgeAtOnce(handle.get());
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
        int result = 0;
        int code = SSL_ERROR_WANT_READ;
        while (code == SSL_ERROR_WANT_READ) {
            // Bytes already decrypted need no wait; otherwise wait as the plain path does.
            if (SSL_pending(tlsSession.get()) == 0 && !waitReadable())
                return timedOut();
            result = SSL_read(tlsSession.get(), area, size);
            acknowledgeAtOnce(handle.get());
            code = SSL_get_error(tlsSession.get(), result);
            ERR_clear_error();
            if (code == SSL_ERROR_WANT_READ && std::chrono::steady_clock::now() >= until)
                return timedOut();
        }
        switch (code) {
        case SSL_ERROR_NONE:
            return result;
        case SSL_ERROR_WANT_WRITE:
            LogMessage("ERROR, Socket::ReadBinary, the operation did not complete");
            return -1;
        case SSL_ERROR_SYSCALL:
            NoteFailure(
                {.Fault = errno == 0 ? LinkFault::Closed : LinkFault::Reset, .Code = errno});
            LogMessage("ERROR, Socket::ReadBinary, I/O error occured");
            return -1;
        case SSL_ERROR_ZERO_RETURN:
            NoteFailure({.Fault = LinkFault::Closed});
            return -1;
        default:
            LogMessage("ERROR, Socket::ReadBinary, unknown error.");
            return -1;
        }
    }
    acknowledgeAtOnce(handle.get());
    if (!waitReadable())
        return timedOut();
    ssize_t result;
    do
        result = ::recv(handle.get(), area, size, 0);
    while (result < 0 && errno == EINTR);
    acknowledgeAtOnce(handle.get());
    if (result == 0) {
        NoteFailure({.Fault = LinkFault::Closed});
        Close();
        return -1;
    }
    if (result < 0) {
        // A reset connection is as dead as a closed one; say which it was.
        int error = errno;
        NoteFailure({.Fault = LinkFault::Reset, .Code = error});
        Close();
        LogMessage("ERROR, Socket::ReadBinary, couldn't receive: " + std::to_string(error));
        return -1;
    }
    if (CurrentLogLevel >= 3)
        DumpTraffic(area, static_cast<int>(result), false);
    return static_cast<int>(result);
}

bool Socket::Close() {
    // The session is shut down while its descriptor is still open, so the close_notify
    // reaches the peer and never lands on a descriptor number reused meanwhile.
    if (tlsSession) {
        SSL_shutdown(tlsSession.get());
        ERR_clear_error();
        tlsSession.reset();
        tlsContext.reset();
    }
    handle.reset();
    connected = false;
    deadline.reset();
    cancelSeen.reset();
    return true;
}
