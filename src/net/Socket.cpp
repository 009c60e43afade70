#include "Socket.h"

#include "Log.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <mutex>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
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

// The address to connect to, network order. A dotted text skips the lookup; a failed lookup
// falls back to the dotted conversion so an unknown name ends as a failed connect.
in_addr_t resolveHost(const std::string& host, int& lookupError) {
    lookupError = 0;
    if (leadingNumber(host) == 0) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        lookupError = getaddrinfo(host.c_str(), nullptr, &hints, &found);
        if (lookupError == 0 && found) {
            in_addr_t address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
            freeaddrinfo(found);
            return address;
        }
        if (found)
            freeaddrinfo(found);
        if (lookupError == 0)
            lookupError = EAI_NONAME;
    }
    return inet_addr(host.c_str());
}

// Port in network order, or 0 when neither a number nor a known service name.
std::uint16_t resolvePort(const std::string& port) {
    auto number = static_cast<std::uint16_t>(leadingNumber(port));
    if (number != 0)
        return htons(number);
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

void Socket::NoteFailure(LinkFailure what) {
    if (!failure)
        failure = std::move(what);
}

std::string Socket::PeerAddress() const {
    if (!handle)
        return {};
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    char text[INET6_ADDRSTRLEN] = {};
    if (::getpeername(handle.get(), reinterpret_cast<sockaddr*>(&peer), &size) != 0 ||
        getnameinfo(reinterpret_cast<sockaddr*>(&peer), size, text, sizeof text, nullptr, 0,
                    NI_NUMERICHOST) != 0)
        return {};
    return text;
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
    failure = {};
    int lookupError = 0;
    in_addr_t address = resolveHost(host, lookupError);
    if (lookupError != 0)
        NoteFailure({.Fault = LinkFault::ResolveFailed, .Code = lookupError, .Text = host});
    std::uint16_t networkPort = resolvePort(port);
    if (networkPort == 0) {
        NoteFailure({.Fault = LinkFault::UnknownPort, .Text = port});
        LogMessage("ERROR, could not resolve host port");
        return false;
    }
    Handle fresh(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!fresh) {
        LogMessage("ERROR, could not create socket");
        return false;
    }
    // An abortive close: a released or failed association must not linger in TIME_WAIT.
    linger lingerOption{1, 0};
    ::setsockopt(fresh.get(), SOL_SOCKET, SO_LINGER, &lingerOption, sizeof lingerOption);
    int noDelay = 1;
    if (::setsockopt(fresh.get(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay) != 0) {
        LogMessage("ERROR, set socket option");
        return false;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = networkPort;
    peer.sin_addr.s_addr = address;
    lastResult = ::connect(fresh.get(), reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    if (lastResult == 0) {
        handle = std::move(fresh);
        connected = true;
        applySendTimeout();
        return true;
    }
    int error = errno;
    fresh.reset();
    LinkFault fault = error == ECONNREFUSED ? LinkFault::Refused
                      : error == ETIMEDOUT  ? LinkFault::ConnectTimedOut
                                            : LinkFault::ConnectFailed;
    NoteFailure({.Fault = fault, .Code = error, .Text = host + ":" + port});
    LogMessage("ERROR, Connecting to Socket: " + host + ":" + port + ", " + std::to_string(error));
    return false;
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

bool Socket::SetupTLS(const std::string& certificateFile, const std::string& keyFile) {
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    tlsSession.reset();
    tlsContext.reset(SSL_CTX_new(TLS_client_method()));
    if (!tlsContext) {
        NoteFailure({.Fault = LinkFault::TlsSetup, .Text = "the TLS client context"});
        LogMessage("ERROR, Socket, couldn't create SSL_CTX");
        return false;
    }
    SSL_CTX_set_min_proto_version(tlsContext.get(), TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(tlsContext.get(), TLS1_2_VERSION);
    if (!certificateFile.empty() &&
        SSL_CTX_use_certificate_file(tlsContext.get(), certificateFile.c_str(), SSL_FILETYPE_PEM) <=
            0) {
        NoteFailure({.Fault = LinkFault::TlsSetup, .Text = "the certificate " + certificateFile});
        LogMessage("ERROR, Socket, couldn't load SSL Certificate");
        return false;
    }
    if (!keyFile.empty() &&
        SSL_CTX_use_PrivateKey_file(tlsContext.get(), keyFile.c_str(), SSL_FILETYPE_PEM) <= 0) {
        NoteFailure({.Fault = LinkFault::TlsSetup, .Text = "the private key " + keyFile});
        LogMessage("ERROR, Socket, couldn't load SSL Key");
        return false;
    }
    tlsSession.reset(SSL_new(tlsContext.get()));
    if (!tlsSession) {
        NoteFailure({.Fault = LinkFault::TlsSetup, .Text = "the TLS session"});
        LogMessage("ERROR, Socket, couldn't create SSL_new");
        return false;
    }
    // A silent server must not hold the handshake past the receive time-out.
    applyReceiveTimeout();
    SSL_set_fd(tlsSession.get(), handle.get());
    lastResult = SSL_connect(tlsSession.get());
    if (lastResult == 1)
        return true;
    int code = SSL_get_error(tlsSession.get(), lastResult);
    int savedErrno = errno;
    unsigned long first = ERR_peek_error();
    char text[256] = {};
    if (first != 0)
        ERR_error_string_n(first, text, sizeof text);
    LinkFailure handshake{.Fault = LinkFault::TlsHandshake,
                          .Code = code,
                          .Detail = first != 0 ? ERR_GET_REASON(first) : 0,
                          .Verify = SSL_get_verify_result(tlsSession.get()),
                          .Seconds = timeout,
                          .Text = text};
    // A plain failure of the link underneath the handshake: say how the link ended.
    if (code == SSL_ERROR_SYSCALL && first == 0)
        handshake.Detail = -savedErrno;
    NoteFailure(std::move(handshake));
    ERR_clear_error();
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
            ssize_t n = ::send(handle.get(), data + sent, length - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            bool stalled = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            if (n < 0 && !stalled) {
                NoteFailure({.Fault = errno == EPIPE ? LinkFault::Closed : LinkFault::Reset,
                             .Code = errno});
                LogMessage("ERROR, Socket::SendBinary, couldn't send: " + std::to_string(errno));
                return false;
            }
            if (n > 0)
                sent += static_cast<int>(n);
            // The send time-out cuts a block short; the block as a whole gets one time-out.
            if (sent < length && timeout > 0 &&
                std::chrono::steady_clock::now() - start >= std::chrono::seconds(timeout))
                stalled = true;
            if (stalled) {
                NoteFailure({.Fault = LinkFault::SendTimedOut, .Seconds = timeout});
                LogMessage("ERROR, Socket::SendBinary, Timed out");
                return false;
            }
        }
    }
    if (CurrentLogLevel >= 3)
        DumpTraffic(data, length, true);
    return true;
}

bool Socket::waitReadable() {
    pollfd entry{handle.get(), POLLIN, 0};
    int milliseconds = timeout <= 0 ? 0 : (timeout > 2000000 ? 2000000000 : timeout * 1000);
    if (deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            *deadline - std::chrono::steady_clock::now());
        milliseconds = static_cast<int>(std::clamp<long long>(left.count(), 0, milliseconds));
    }
    int ready;
    do
        ready = ::poll(&entry, 1, milliseconds);
    while (ready < 0 && errno == EINTR);
    return ready > 0;
}

int Socket::timedOut() {
    Close();
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
    if (tlsEnabled) {
        if (!tlsSession) {
            LogMessage("WARNING, Socket::ReadBinary, sslobj is NULL");
            return -1;
        }
        // Bytes already decrypted need no wait; otherwise wait as the plain path does.
        if (SSL_pending(tlsSession.get()) == 0 && !waitReadable())
            return timedOut();
        int result = SSL_read(tlsSession.get(), area, size);
        int code = SSL_get_error(tlsSession.get(), result);
        ERR_clear_error();
        switch (code) {
        case SSL_ERROR_NONE:
            return result;
        case SSL_ERROR_WANT_READ:
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
    if (!waitReadable())
        return timedOut();
    ssize_t result;
    do
        result = ::recv(handle.get(), area, size, 0);
    while (result < 0 && errno == EINTR);
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
    return true;
}
