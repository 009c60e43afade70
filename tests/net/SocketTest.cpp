#include "Socket.h"
#include "Log.h"
#include "ScriptedPeer.h"

#include "LogFixture.h"
#include "TlsTestFiles.h"

#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

using namespace std::chrono_literals;

namespace {

class SocketTest : public LogFixture {
protected:
};

using testsupport::closedPort;

TEST_F(SocketTest, DumpOfAShortBlock) {
    DumpTraffic(hexBytes("41 42 01 43 44").data(), 5, true);
    EXPECT_EQ(logText(), "     5 >> 41 42 01 43 44 \r\nAB.CD\r\n\r\n");
    std::filesystem::remove(path);
    DumpTraffic(hexBytes("7A 7B 7C 7D 7E 20 1F").data(), 7, false);
    EXPECT_EQ(logText(), "     7 << 7A 7B 7C 7D 7E 20 1F \r\nz.... .\r\n\r\n");
}

TEST_F(SocketTest, DumpIsCappedAt256BytesWithMarkers) {
    for (int length : {256, 300}) {
        std::filesystem::remove(path);
        std::vector<std::uint8_t> bytes(length, 0x41);
        DumpTraffic(bytes.data(), length, true);
        char header[16];
        std::snprintf(header, sizeof header, "%6d >> ", length);
        std::string hex;
        for (int i = 0; i < 256; ++i)
            hex += "41 ";
        std::string expected = std::string(header) + hex + " [MORE DATA...]\r\n" +
                               std::string(256, 'A') + " [MORE DATA...]\r\n\r\n";
        EXPECT_EQ(logText(), expected) << length;
    }
    std::filesystem::remove(path);
    std::vector<std::uint8_t> bytes(255, 0x41);
    DumpTraffic(bytes.data(), 255, true);
    EXPECT_EQ(logText().find("MORE DATA"), std::string::npos);
}

TEST_F(SocketTest, ConnectFailuresAreReportedWithTheirTexts) {
    Socket socket;
    std::string port = closedPort();
    EXPECT_FALSE(socket.Connect("127.0.0.1", port));
    EXPECT_TRUE(logged("ERROR, Connecting to Socket: 127.0.0.1:" + port + ", " +
                       std::to_string(ECONNREFUSED)));
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_FALSE(socket.Connect("127.0.0.1", "0"));
    EXPECT_TRUE(logged("ERROR, could not resolve host port"));
    EXPECT_FALSE(socket.SendBinary(hexBytes("00").data(), 1));
    std::uint8_t area[4];
    EXPECT_EQ(socket.ReadBinary(area, 4), -1);
}

TEST_F(SocketTest, SendsAndReceivesOverLoopbackWithDumpAtSocketLevel) {
    ScriptedPeer peer({ScriptedPeer::Expect(5), ScriptedPeer::Send(hexBytes("01 02 03"))});
    Socket socket;
    ASSERT_TRUE(socket.Connect("127.0.0.1", peer.PortText()));
    CurrentLogLevel = 3;
    ASSERT_TRUE(socket.SendBinary(hexBytes("41 42 01 43 44").data(), 5));
    std::uint8_t area[16];
    int got = 0;
    while (got < 3) {
        int n = socket.ReadBinary(area + got, 16 - got);
        ASSERT_GT(n, 0);
        got += n;
    }
    EXPECT_TRUE(peer.Finish());
    EXPECT_EQ(peer.Received(), hexBytes("41 42 01 43 44"));
    EXPECT_TRUE(logged("     5 >> 41 42 01 43 44 \r\n"));
    EXPECT_TRUE(logged(" << 01 02 03 \r\n") || logged(" << 01 \r\n"));
}

TEST_F(SocketTest, SilentPeerTimesOutAndLeavesTheSocketClosed) {
    ScriptedPeer peer({ScriptedPeer::Silent(5s)});
    Socket socket;
    ASSERT_TRUE(socket.Connect("127.0.0.1", peer.PortText()));
    socket.SetTimeout(1);
    std::uint8_t area[4];
    EXPECT_EQ(socket.ReadBinary(area, 4), -1);
    EXPECT_TRUE(logged("ERROR, Socket::ReadBinary, Timed out"));
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_EQ(socket.ReadBinary(area, 4), -1);
    EXPECT_TRUE(peer.Finish());
}

TEST_F(SocketTest, ZeroTimeOutReturnsZeroOnceThenMinusOne) {
    ScriptedPeer peer({ScriptedPeer::Silent(5s)});
    Socket socket;
    ASSERT_TRUE(socket.Connect("127.0.0.1", peer.PortText()));
    socket.SetTimeout(0);
    std::uint8_t area[4];
    EXPECT_EQ(socket.ReadBinary(area, 4), 0);
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_EQ(socket.ReadBinary(area, 4), -1);
    EXPECT_FALSE(logged("Timed out"));
    EXPECT_TRUE(peer.Finish());
}

TEST_F(SocketTest, PeerClosingMidReadEndsInMinusOneAndClosed) {
    ScriptedPeer peer({ScriptedPeer::Send(hexBytes("01 02")), ScriptedPeer::Close()});
    Socket socket;
    ASSERT_TRUE(socket.Connect("127.0.0.1", peer.PortText()));
    std::uint8_t area[8];
    int got = 0, n;
    while ((n = socket.ReadBinary(area + got, 8 - got)) > 0)
        got += n;
    EXPECT_EQ(got, 2);
    EXPECT_EQ(n, -1);
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_FALSE(socket.SendBinary(area, 1));
    EXPECT_TRUE(peer.Finish());
}

TEST_F(SocketTest, LateBytesArriveWithinTheTimeOut) {
    ScriptedPeer peer({ScriptedPeer::SendAfter(300ms, hexBytes("07"))});
    Socket socket;
    ASSERT_TRUE(socket.Connect("127.0.0.1", peer.PortText()));
    socket.SetTimeout(5);
    std::uint8_t byte = 0;
    EXPECT_EQ(socket.ReadBinary(&byte, 1), 1);
    EXPECT_EQ(byte, 7);
    EXPECT_TRUE(peer.Finish());
}

// A listener on ::1 that accepts one connection and answers its first byte with 0x2A.
class Ipv6Listener {
public:
    Ipv6Listener() {
        fd = ::socket(AF_INET6, SOCK_STREAM, 0);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        socklen_t size = sizeof address;
        ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
             ::listen(fd, 1) == 0 &&
             ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
        port = ntohs(address.sin6_port);
        worker = std::thread([this] {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 10000) <= 0)
                return;
            int client = ::accept(fd, nullptr, nullptr);
            std::uint8_t byte = 0;
            if (::recv(client, &byte, 1, 0) == 1) {
                std::uint8_t answer = 0x2A;
                ::send(client, &answer, 1, MSG_NOSIGNAL);
            }
            ::close(client);
        });
    }
    ~Ipv6Listener() {
        worker.join();
        ::close(fd);
    }
    int fd = -1;
    bool ok = false;
    std::uint16_t port = 0;
    std::thread worker;
};

TEST_F(SocketTest, Ipv6LiteralsWithAndWithoutBracketsConnect) {
    for (const char* host : {"::1", "[::1]"}) {
        Ipv6Listener listener;
        ASSERT_TRUE(listener.ok);
        Socket socket;
        socket.SetTimeout(5);
        ASSERT_TRUE(socket.Connect(host, std::to_string(listener.port))) << host << logText();
        std::uint8_t byte = 1;
        ASSERT_TRUE(socket.SendBinary(&byte, 1));
        EXPECT_EQ(socket.ReadBinary(&byte, 1), 1);
        EXPECT_EQ(byte, 0x2A);
        socket.Close();
    }
}

TEST_F(SocketTest, NamesAreLookedUpAndUnknownOnesEndInAResolutionFailure) {
    ScriptedPeer peer({ScriptedPeer::Expect(1)});
    Socket socket;
    // "localhost" may resolve to ::1 first; the IPv4 address after it is tried in turn.
    ASSERT_TRUE(socket.Connect("localhost", peer.PortText())) << logText();
    std::uint8_t byte = 1;
    ASSERT_TRUE(socket.SendBinary(&byte, 1));
    EXPECT_TRUE(peer.Finish());
    socket.Close();
    EXPECT_FALSE(socket.Connect("no-such-host.invalid", "104"));
    EXPECT_TRUE(logged("ERROR, Socket::Connect, could not resolve host no-such-host.invalid: "));
    EXPECT_EQ(socket.LastFailure().stage, ConnectFailure::Stage::Resolve);
    // A name starting with a digit is a name too, not the number in front of it.
    EXPECT_FALSE(socket.Connect("1no-such-host.invalid", "104"));
    EXPECT_TRUE(logged("could not resolve host 1no-such-host.invalid: "));
}

TEST_F(SocketTest, PortsBeyond16BitsAreRefusedNotWrapped) {
    Socket socket;
    EXPECT_FALSE(socket.Connect("127.0.0.1", "76876"));
    EXPECT_TRUE(logged("ERROR, could not resolve host port"));
}

// A full accept queue drops the SYN, as a filtering firewall would; the kernel's own retries
// would hold connect() for about two minutes.
TEST_F(SocketTest, ConnectToAPeerThatDropsSynsEndsAtTheTimeOut) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
    }
    std::this_thread::sleep_for(200ms);
    Socket socket;
    socket.SetTimeout(2);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(socket.Connect("127.0.0.1", std::to_string(ntohs(address.sin_port))));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 1900ms);
    EXPECT_LT(took, 10s);
    EXPECT_TRUE(logged(", " + std::to_string(ETIMEDOUT))) << logText();
    EXPECT_EQ(socket.LastFailure().stage, ConnectFailure::Stage::TimedOut);
    for (int fd : fillers)
        ::close(fd);
    ::close(listener);
}

// ---- TLS, against an in-process OpenSSL server with certificates made for the run ----

class TlsServerStream : public PeerStream {
public:
    TlsServerStream(SSL_CTX* ctx, int fd) : fd(fd), ssl(SSL_new(ctx)) { SSL_set_fd(ssl, fd); }
    ~TlsServerStream() override {
        SSL_shutdown(ssl);
        SSL_free(ssl);
        ::close(fd);
    }
    bool Handshake() { return SSL_accept(ssl) == 1; }
    int Version() const { return SSL_version(ssl); }
    long Read(std::uint8_t* area, std::size_t size, std::chrono::milliseconds wait) override {
        if (SSL_pending(ssl) == 0) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, static_cast<int>(wait.count())) <= 0)
                return -1;
        }
        int n = SSL_read(ssl, area, static_cast<int>(size));
        if (n > 0)
            return n;
        return SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    }
    bool Write(const std::uint8_t* data, std::size_t size) override {
        return SSL_write(ssl, data, static_cast<int>(size)) == static_cast<int>(size);
    }

private:
    int fd;
    SSL* ssl;
};

class TlsSocketTest : public SocketTest {
protected:
    void SetUp() override {
        SocketTest::SetUp();
        ASSERT_TRUE(files.Ok()) << "openssl could not make the test certificates";
    }
    void TearDown() override {
        for (SSL_CTX* ctx : contexts)
            SSL_CTX_free(ctx);
        SocketTest::TearDown();
    }
    // A server presenting the given certificate; the handshake's version is kept.
    PeerStreamFactory tlsFactory(const std::filesystem::path& cert,
                                 const std::filesystem::path& key) {
        SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
        contexts.push_back(ctx);
        EXPECT_EQ(SSL_CTX_use_certificate_file(ctx, cert.c_str(), SSL_FILETYPE_PEM), 1);
        EXPECT_EQ(SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM), 1);
        return [this, ctx](int fd) -> std::unique_ptr<PeerStream> {
            auto stream = std::make_unique<TlsServerStream>(ctx, fd);
            if (!stream->Handshake())
                return nullptr;
            version = stream->Version();
            return stream;
        };
    }
    PeerStreamFactory trustedServer() { return tlsFactory(files.ServerCert(), files.ServerKey()); }
    TlsOptions trusting() const {
        TlsOptions options(true);
        options.caFile = files.CaCert().string();
        return options;
    }
    static testsupport::TlsTestFiles files;
    std::vector<SSL_CTX*> contexts;
    std::atomic<int> version{0};
};
testsupport::TlsTestFiles TlsSocketTest::files;

TEST_F(TlsSocketTest, VerifiedServerExchangesBytesOverTheHighestVersion) {
    ScriptedPeer peer({ScriptedPeer::Expect(4), ScriptedPeer::Send(hexBytes("0A 0B 0C"))},
                      trustedServer());
    Socket socket;
    socket.SetUseTLS(true);
    ASSERT_TRUE(socket.Connect("127.0.0.1", peer.PortText()));
    ASSERT_TRUE(socket.SetupTLS(trusting(), "127.0.0.1"));
    ASSERT_TRUE(socket.SendBinary(hexBytes("01 02 03 04").data(), 4));
    std::uint8_t area[8];
    int got = 0;
    while (got < 3) {
        int n = socket.ReadBinary(area + got, 8 - got);
        ASSERT_GT(n, 0);
        got += n;
    }
    EXPECT_EQ(std::vector<std::uint8_t>(area, area + 3), hexBytes("0A 0B 0C"));
    EXPECT_TRUE(peer.Finish()) << peer.Failure();
    EXPECT_EQ(peer.Received(), hexBytes("01 02 03 04"));
    EXPECT_EQ(version, TLS1_3_VERSION);
    EXPECT_FALSE(logged("WARNING"));
    socket.Close();
}

TEST_F(TlsSocketTest, PinnedVersionIsTls12) {
    ScriptedPeer peer({ScriptedPeer::Expect(1)}, trustedServer());
    Socket socket;
    socket.SetUseTLS(true);
    TlsOptions options = trusting();
    options.pinVersion12 = true;
    ASSERT_TRUE(socket.Connect("127.0.0.1", peer.PortText()));
    ASSERT_TRUE(socket.SetupTLS(options, "127.0.0.1"));
    ASSERT_TRUE(socket.SendBinary(hexBytes("01").data(), 1));
    EXPECT_TRUE(peer.Finish()) << peer.Failure();
    EXPECT_EQ(version, TLS1_2_VERSION);
    socket.Close();
}

// A server the client cannot authenticate ends the handshake before a byte of data goes out,
// unless any server is accepted, which is then said on every connect.
TEST_F(TlsSocketTest, UnauthenticatedServersAreRejectedUnlessAnyIsAccepted) {
    struct Case {
        std::filesystem::path cert, key;
        TlsOptions options;
        const char* reason;
    };
    TlsOptions systemStoreOnly(true);
    const Case cases[] = {
        {files.WrongNameCert(), files.WrongNameKey(), trusting(), "IP address mismatch"},
        {files.SelfSignedCert(), files.SelfSignedKey(), trusting(), "self-signed certificate"},
        {files.ServerCert(), files.ServerKey(), systemStoreOnly,
         "unable to get local issuer certificate"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(path);
        {
            ScriptedPeer peer({ScriptedPeer::Expect(1)}, tlsFactory(c.cert, c.key));
            Socket socket;
            socket.SetUseTLS(true);
            socket.SetTimeout(5);
            ASSERT_TRUE(socket.Connect("127.0.0.1", peer.PortText()));
            EXPECT_FALSE(socket.SetupTLS(c.options, "127.0.0.1"));
            EXPECT_TRUE(logged(std::string("ERROR, Socket::Connect, TLS certificate rejected: ") +
                               c.reason))
                << c.cert << "\n"
                << logText();
            EXPECT_EQ(socket.LastFailure().stage, ConnectFailure::Stage::Certificate);
            socket.Close();
            peer.Finish();
            EXPECT_TRUE(peer.Received().empty());
        }
        ScriptedPeer peer({ScriptedPeer::Expect(1)}, tlsFactory(c.cert, c.key));
        Socket socket;
        socket.SetUseTLS(true);
        TlsOptions any = c.options;
        any.acceptAnyServer = true;
        ASSERT_TRUE(socket.Connect("127.0.0.1", peer.PortText()));
        ASSERT_TRUE(socket.SetupTLS(any, "127.0.0.1")) << logText();
        EXPECT_TRUE(logged("WARNING, Socket::Connect, TLS server certificate not verified"));
        ASSERT_TRUE(socket.SendBinary(hexBytes("01").data(), 1));
        EXPECT_TRUE(peer.Finish()) << peer.Failure();
        socket.Close();
    }
}

TEST_F(TlsSocketTest, ServerNamedByHostNameIsVerifiedByName) {
    ScriptedPeer peer({ScriptedPeer::Expect(1)}, trustedServer());
    Socket socket;
    socket.SetUseTLS(true);
    ASSERT_TRUE(socket.Connect("localhost", peer.PortText()));
    ASSERT_TRUE(socket.SetupTLS(trusting(), "localhost")) << logText();
    ASSERT_TRUE(socket.SendBinary(hexBytes("01").data(), 1));
    EXPECT_TRUE(peer.Finish()) << peer.Failure();
    socket.Close();
}

TEST_F(TlsSocketTest, SilentTlsPeerTimesOutLikeThePlainPath) {
    ScriptedPeer peer({ScriptedPeer::Silent(5s)}, trustedServer());
    Socket socket;
    socket.SetUseTLS(true);
    ASSERT_TRUE(socket.Connect("127.0.0.1", peer.PortText()));
    ASSERT_TRUE(socket.SetupTLS(trusting(), "127.0.0.1"));
    socket.SetTimeout(1);
    std::uint8_t area[4];
    EXPECT_EQ(socket.ReadBinary(area, 4), -1);
    EXPECT_TRUE(logged("ERROR, Socket::ReadBinary, Timed out"));
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_TRUE(peer.Finish());
}

TEST_F(TlsSocketTest, ClientCertificateFilesThatCannotBeLoadedAreReported) {
    ScriptedPeer peer({ScriptedPeer::Silent(2s)});
    Socket socket;
    socket.SetUseTLS(true);
    ASSERT_TRUE(socket.Connect("127.0.0.1", peer.PortText()));
    TlsOptions options = trusting();
    options.certificateFile = (files.CaCert().parent_path() / "missing.pem").string();
    EXPECT_FALSE(socket.SetupTLS(options, "127.0.0.1"));
    EXPECT_TRUE(logged("ERROR, Socket, couldn't load SSL Certificate"));
    options.certificateFile = files.ClientCert().string();
    options.keyFile = files.ClientCert().string();
    EXPECT_FALSE(socket.SetupTLS(options, "127.0.0.1"));
    EXPECT_TRUE(logged("ERROR, Socket, couldn't load SSL Key"));
    socket.Close();
}

TEST_F(SocketTest, TlsHandshakeAgainstAPlainPeerFails) {
    // A plain peer answers the client hello with bytes that are no TLS record, then closes.
    ScriptedPeer peer({ScriptedPeer::Expect(5),
                       ScriptedPeer::Send(hexBytes("07 00 00 00 00 04 00 00 00 00")),
                       ScriptedPeer::Close()});
    Socket socket;
    socket.SetUseTLS(true);
    socket.SetTimeout(5);
    ASSERT_TRUE(socket.Connect("127.0.0.1", peer.PortText()));
    EXPECT_FALSE(socket.SetupTLS(TlsOptions(true), "127.0.0.1"));
    EXPECT_TRUE(logged("ERROR, Socket, connecting to SSL server: "));
    EXPECT_TRUE(peer.Finish());
    EXPECT_EQ(peer.Received()[0], 0x16); // the client hello was offered
    socket.Close();
}

TEST_F(SocketTest, TlsHandshakeAgainstASilentPeerEndsAtTheTimeOut) {
    ScriptedPeer peer({ScriptedPeer::Silent(5s)});
    Socket socket;
    socket.SetUseTLS(true);
    socket.SetTimeout(1);
    ASSERT_TRUE(socket.Connect("127.0.0.1", peer.PortText()));
    EXPECT_FALSE(socket.SetupTLS(TlsOptions(true), "127.0.0.1"));
    EXPECT_TRUE(logged("ERROR, Socket, connecting to SSL server: "));
    socket.Close();
    EXPECT_TRUE(peer.Finish());
}

} // namespace
