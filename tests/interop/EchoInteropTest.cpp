#include "DcmtkPeer.h"
#include "LogFiles.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>

using testsupport::DcmtkPeer;
using testsupport::havePeers;
using testsupport::runCommand;
using testsupport::shellQuote;
using testsupport::TempDir;

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
    EXPECT_EQ(r.output, "ECHO OK\n");
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
}

TEST(EchoInterop, EchoOverTls12AgainstStorescp) {
    if (!havePeers({"storescp", "openssl"}))
        GTEST_SKIP();
    TempDir dir;
    std::string key = (dir.path() / "key.pem").string(), cert = (dir.path() / "cert.pem").string();
    ASSERT_EQ(
        runCommand("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=peer -keyout " +
                   shellQuote(key) + " -out " + shellQuote(cert) + " 2>/dev/null")
            .exitStatus,
        0);
    DcmtkPeer peer("storescp", {"+tls", key, cert, "-pw", "-ic"}, dir.path().string());
    ASSERT_TRUE(peer.Ready());
    runCommand(
        cli(dir, "setup --tls on --log-level 3 --remote-port " + std::to_string(peer.Port())));
    auto r = runCommand(cli(dir, "echo"));
    EXPECT_EQ(r.output, "ECHO OK\n");
    EXPECT_EQ(r.exitStatus, 0);
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
        ASSERT_EQ(runCommand(cli(dir, "echo")).output, "ECHO OK\n") << level;
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
