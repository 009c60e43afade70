#include "DcmtkPeer.h"
#include "JobLines.h"
#include "LogFiles.h"
#include "TestSupport.h"
#include "TlsTestFiles.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace testsupport;

namespace {

std::string cli(const TempDir& dir, const std::string& args) {
    return "cd " + shellQuote(dir.path().string()) + " && " + shellQuote(VESKARO_CLI) + " " + args;
}

std::vector<std::string> logLines(const TempDir& dir, const std::string& kind) {
    std::ifstream in(testsupport::logFile(dir.path(), kind));
    std::vector<std::string> lines;
    // Log lines start with the time of day; traffic dump records are kept whole.
    for (std::string line; std::getline(in, line);) {
        bool stamped = line.size() > 10 && line[2] == ':' && line[5] == ':' && line[8] == ',';
        lines.push_back(stamped ? line.substr(10) : line);
    }
    return lines;
}

} // namespace

TEST(EchoInterop, EchoOkAgainstStorescp) {
    if (!havePeers({"storescp"}))
        GTEST_SKIP();
    TempDir dir;
    DcmtkPeer peer("storescp", {"--aetitle", "ARCHIVE"}, dir.path().string());
    ASSERT_TRUE(peer.Ready());
    ASSERT_EQ(runCommand(cli(dir, "setup --remote-aet ARCHIVE --remote-port " +
                                      std::to_string(peer.Port()) + " --log-level 2"))
                  .exitStatus,
              0);
    auto r = runCommand(cli(dir, "echo"));
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(testsupport::withoutDoneLines(r.output), "ECHO OK\n");
    auto lines = logLines(dir, "ECHO");
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front(), "Starting ECHO Service\r");
    EXPECT_EQ(lines.back(), "ECHO OK\r");
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "INFO, OpenAssociation, Called Ap. Title: ARCHIVE         \r"),
              lines.end());
}

TEST(EchoInterop, UnknownHostEndsInTheConnectFailure) {
    TempDir dir;
    runCommand(cli(dir, "setup --remote-host no-such-host.invalid --remote-port 104"));
    auto r = runCommand(cli(dir, "echo"));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.output.rfind("Reason: name resolution: the host name 'no-such-host.invalid' could "
                             "not be resolved: ",
                             0),
              0u)
        << r.output;
    EXPECT_TRUE(
        r.output.ends_with("\nECHO failed to connect to: remote (no-such-host.invalid:104)\n"));
    auto lines = logLines(dir, "ECHO");
    EXPECT_NE(
        std::find(lines.begin(), lines.end(), "ERROR, PDU_Service::Connect, Socket Level Error\r"),
        lines.end());
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("ERROR, Socket::Connect, could not resolve host no-such-host.invalid: ",
                          0) == 0;
    }));
}

// storescp +tls with certificates made by the test: the server is authenticated against the
// CA given in the settings and by its address; a server that cannot be is refused before the
// A-ASSOCIATE-RQ, unless any server is accepted.
TEST(EchoInterop, TlsServerIsAuthenticatedAgainstStorescp) {
    if (!havePeers({"storescp", "openssl"}))
        GTEST_SKIP();
    testsupport::TlsTestFiles pki;
    ASSERT_TRUE(pki.Ok());
    auto server = [&](const std::filesystem::path& key, const std::filesystem::path& cert,
                      const TempDir& dir) {
        return std::make_unique<DcmtkPeer>(
            "storescp", std::vector<std::string>{"+tls", key.string(), cert.string(), "-ic"},
            dir.path().string());
    };
    struct Case {
        std::filesystem::path key, cert;
        const char* reason; // nullptr: accepted
    };
    const Case cases[] = {
        {pki.ServerKey(), pki.ServerCert(), nullptr},
        {pki.WrongNameKey(), pki.WrongNameCert(), "IP address mismatch"},
        {pki.SelfSignedKey(), pki.SelfSignedCert(), "self-signed certificate"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cert.filename().string());
        TempDir dir;
        auto peer = server(c.key, c.cert, dir);
        ASSERT_TRUE(peer->Ready());
        std::string port = std::to_string(peer->Port());
        ASSERT_EQ(runCommand(cli(dir, "setup --tls on --log-level 3 --remote-port " + port +
                                          " --tls-ca " + shellQuote(pki.CaCert().string())))
                      .exitStatus,
                  0);
        auto r = runCommand(cli(dir, "echo"));
        auto lines = logLines(dir, "ECHO");
        if (!c.reason) {
            EXPECT_EQ(testsupport::withoutDoneLines(r.output), "ECHO OK\n");
            EXPECT_EQ(r.exitStatus, 0);
            continue;
        }
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_NE(std::find(lines.begin(), lines.end(),
                            std::string("ERROR, Socket::Connect, TLS certificate rejected: ") +
                                c.reason + "\r"),
                  lines.end());
        for (const std::string& line : lines)
            EXPECT_EQ(line.find(">> 01 00 "), std::string::npos) << line;

        runCommand(cli(dir, "setup --tls-insecure on"));
        r = runCommand(cli(dir, "echo"));
        EXPECT_EQ(testsupport::withoutDoneLines(r.output), "ECHO OK\n");
        lines = logLines(dir, "ECHO");
        EXPECT_NE(std::find(lines.begin(), lines.end(),
                            "WARNING, Socket::Connect, TLS server certificate not verified: the "
                            "peer is not authenticated\r"),
                  lines.end());
    }
}

// storescp requiring a client certificate signed by the CA: refused without one, accepted
// with the one the settings name.
TEST(EchoInterop, MutualTlsAgainstStorescp) {
    if (!havePeers({"storescp", "openssl"}))
        GTEST_SKIP();
    testsupport::TlsTestFiles pki;
    ASSERT_TRUE(pki.Ok());
    TempDir dir;
    DcmtkPeer peer("storescp",
                   {"+tls", pki.ServerKey().string(), pki.ServerCert().string(), "-rc", "+cf",
                    pki.CaCert().string()},
                   dir.path().string());
    ASSERT_TRUE(peer.Ready());
    runCommand(cli(dir, "setup --tls on --remote-port " + std::to_string(peer.Port()) +
                            " --tls-ca " + shellQuote(pki.CaCert().string())));
    EXPECT_EQ(runCommand(cli(dir, "echo")).exitStatus, 1);
    runCommand(cli(dir, "setup --tls-cert " + shellQuote(pki.ClientCert().string()) +
                            " --tls-key " + shellQuote(pki.ClientKey().string())));
    auto r = runCommand(cli(dir, "echo"));
    EXPECT_EQ(testsupport::withoutDoneLines(r.output), "ECHO OK\n");
    EXPECT_EQ(r.exitStatus, 0);
    // Pinned to TLS 1.2, the same peer still answers.
    runCommand(cli(dir, "setup --tls12-only on"));
    EXPECT_EQ(testsupport::withoutDoneLines(runCommand(cli(dir, "echo")).output), "ECHO OK\n");
}

TEST(EchoInterop, TlsHandshakeWithAPlainPeerFailsBeforeTheRequest) {
    if (!havePeers({"storescp"}))
        GTEST_SKIP();
    TempDir dir;
    DcmtkPeer peer("storescp", {}, dir.path().string());
    ASSERT_TRUE(peer.Ready());
    runCommand(
        cli(dir, "setup --tls on --log-level 3 --remote-port " + std::to_string(peer.Port())));
    auto r = runCommand(cli(dir, "echo"));
    EXPECT_EQ(r.exitStatus, 1);
    std::string verdict =
        "ECHO failed to connect to: remote (127.0.0.1:" + std::to_string(peer.Port()) + ")";
    EXPECT_EQ(r.output.rfind("Reason: TLS handshake: ", 0), 0u) << r.output;
    EXPECT_TRUE(r.output.ends_with("\n" + verdict + "\n")) << r.output;
    auto lines = logLines(dir, "ECHO");
    // At socket level every block sent is dumped: no A-ASSOCIATE-RQ (type 01) went out.
    for (const std::string& line : lines)
        EXPECT_EQ(line.find(">> 01 00 "), std::string::npos) << line;
    EXPECT_EQ(lines.back(), verdict + "\r");
}

// What each log level adds to the same successful echo.
TEST(EchoInterop, LogLevelsAddTheirLines) {
    if (!havePeers({"storescp"}))
        GTEST_SKIP();
    TempDir work;
    DcmtkPeer peer("storescp", {}, work.path().string());
    ASSERT_TRUE(peer.Ready());
    for (int level = 0; level <= 3; ++level) {
        TempDir dir;
        runCommand(cli(dir, "setup --log-level " + std::to_string(level) + " --remote-port " +
                                std::to_string(peer.Port())));
        ASSERT_EQ(testsupport::withoutDoneLines(runCommand(cli(dir, "echo")).output), "ECHO OK\n")
            << level;
        auto lines = logLines(dir, "ECHO");
        auto has = [&](const std::string& prefix) {
            return std::any_of(lines.begin(), lines.end(),
                               [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
        };
        EXPECT_EQ(lines.front(), "Starting ECHO Service\r");
        EXPECT_EQ(lines.back(), "ECHO OK\r");
        EXPECT_EQ(has("INFO, "), level >= 2) << level;
        EXPECT_EQ(has("(0000,0100),  2, US, Command Field: 48"), level >= 2) << level;
        EXPECT_EQ(has("INFO, AAssociateAC::Read"), level >= 3) << level;
        EXPECT_EQ(has("    74 >> 01 00 00 00 00 C0"), level >= 3) << level;
    }
}
