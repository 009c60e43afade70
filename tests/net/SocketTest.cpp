#include "Socket.h"
#include "Log.h"
#include "ScriptedPeer.h"

#include "LogFixture.h"

#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <filesystem>
#include <fstream>
#include <sstream>
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

// ---- TLS, against an in-process OpenSSL server with a key made for the run ----

class TlsFiles {
public:
    TlsFiles() {
        dir =
            std::filesystem::temp_directory_path() / ("veskaro_tls_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        std::string command =
            "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1"
            " -keyout " +
            key().string() + " -out " + cert().string() + " >/dev/null 2>&1";
        ok = std::system(command.c_str()) == 0;
    }
    ~TlsFiles() { std::filesystem::remove_all(dir); }
    std::filesystem::path key() const { return dir / "key.pem"; }
    std::filesystem::path cert() const { return dir / "cert.pem"; }
    bool ok = false;

private:
    std::filesystem::path dir;
};

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
        ASSERT_TRUE(files.ok) << "openssl could not make a test certificate";
        ctx = SSL_CTX_new(TLS_server_method());
        ASSERT_EQ(SSL_CTX_use_certificate_file(ctx, files.cert().c_str(), SSL_FILETYPE_PEM), 1);
        ASSERT_EQ(SSL_CTX_use_PrivateKey_file(ctx, files.key().c_str(), SSL_FILETYPE_PEM), 1);
    }
    void TearDown() override {
        SSL_CTX_free(ctx);
        SocketTest::TearDown();
    }
    PeerStreamFactory tlsFactory() {
        return [this](int fd) -> std::unique_ptr<PeerStream> {
            auto stream = std::make_unique<TlsServerStream>(ctx, fd);
            if (!stream->Handshake())
                return nullptr;
            version = stream->Version();
            return stream;
        };
    }
    static TlsFiles files;
    SSL_CTX* ctx = nullptr;
    std::atomic<int> version{0};
};
TlsFiles TlsSocketTest::files;

TEST_F(TlsSocketTest, ExchangesBytesOverTls12) {
    ScriptedPeer peer({ScriptedPeer::Expect(4), ScriptedPeer::Send(hexBytes("0A 0B 0C"))},
                      tlsFactory());
    Socket socket;
    socket.SetUseTLS(true);
    ASSERT_TRUE(socket.Connect("127.0.0.1", peer.PortText()));
    ASSERT_TRUE(socket.SetupTLS("", ""));
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
    EXPECT_EQ(version, TLS1_2_VERSION);
    socket.Close();
}

TEST_F(TlsSocketTest, SilentTlsPeerTimesOutLikeThePlainPath) {
    ScriptedPeer peer({ScriptedPeer::Silent(5s)}, tlsFactory());
    Socket socket;
    socket.SetUseTLS(true);
    ASSERT_TRUE(socket.Connect("127.0.0.1", peer.PortText()));
    ASSERT_TRUE(socket.SetupTLS("", ""));
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
    EXPECT_FALSE(socket.SetupTLS((files.cert().parent_path() / "missing.pem").string(), ""));
    EXPECT_TRUE(logged("ERROR, Socket, couldn't load SSL Certificate"));
    EXPECT_FALSE(socket.SetupTLS(files.cert().string(), files.cert().string()));
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
    EXPECT_FALSE(socket.SetupTLS("", ""));
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
    EXPECT_FALSE(socket.SetupTLS("", ""));
    EXPECT_TRUE(logged("ERROR, Socket, connecting to SSL server: "));
    socket.Close();
    EXPECT_TRUE(peer.Finish());
}

} // namespace
