// veskaro-cli diagnose and probe against real peers, and their JSON: each probe result is
// compared with what the peer's configuration says it accepts.

#include "DcmtkPeer.h"
#include "TestSupport.h"
#include "TransferSyntaxUids.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

using namespace testsupport;

namespace {

constexpr const char* CtImage = "1.2.840.10008.5.1.4.1.1.2";

std::string cli(const TempDir& dir, const std::string& args) {
    return "cd " + shellQuote(dir.path().string()) + " && " + shellQuote(VESKARO_CLI) + " " + args;
}

void setup(const TempDir& dir, const std::string& args) {
    ASSERT_EQ(runCommand(cli(dir, "setup " + args)).exitStatus, 0);
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool startsWith(const std::string& text, const std::string& head) {
    return text.rfind(head, 0) == 0;
}

using Syntaxes = std::vector<std::string>;

struct Probe {
    int exitStatus = -1;
    nlohmann::json object;
    // The accepted syntaxes of each class by UID.
    std::map<std::string, Syntaxes> accepted;
};

// Sets the CLI up with args, then runs the probe with JSON output.
Probe probe(const TempDir& dir, const std::string& args) {
    setup(dir, args);
    Probe p;
    auto r = runCommand(cli(dir, "probe --json"));
    p.exitStatus = r.exitStatus;
    p.object = nlohmann::json::parse(r.output);
    for (const auto& c : p.object["classes"])
        p.accepted[c["uid"].get<std::string>()] = c["accepted"].get<Syntaxes>();
    return p;
}

} // namespace

TEST(DiagnoseInterop, EveryStepAgainstStorescp) {
    if (!havePeers({"storescp"}))
        GTEST_SKIP();
    TempDir dir;
    DcmtkPeer peer("storescp", {"--aetitle", "ARCHIVE"}, dir.path().string());
    ASSERT_TRUE(peer.Ready());
    setup(dir, "--remote-aet ARCHIVE --remote-port " + std::to_string(peer.Port()));
    auto r = runCommand(cli(dir, "diagnose"));
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    std::vector<std::string> lines = linesOf(r.output);
    ASSERT_EQ(lines.size(), 6u) << r.output;
    EXPECT_TRUE(startsWith(lines[0], "\u2713 1. Resolve 127.0.0.1: 127.0.0.1 (")) << lines[0];
    EXPECT_TRUE(startsWith(lines[1], "\u2713 2. TCP connect: 127.0.0.1 port " +
                                         std::to_string(peer.Port()) + " ("));
    EXPECT_TRUE(startsWith(lines[2], "\u2713 3. A-ASSOCIATE (Verification): maximum PDU length "))
        << lines[2];
    EXPECT_NE(lines[2].find("implementation class UID 1.2.276.0.7230010.3."), std::string::npos);
    EXPECT_NE(lines[2].find("version name OFFIS_DCMTK_"), std::string::npos);
    EXPECT_TRUE(startsWith(lines[3], "\u2713 4. C-ECHO: status 0x0000 success ("));
    EXPECT_TRUE(startsWith(lines[4], "\u2713 5. A-RELEASE ("));
    EXPECT_EQ(lines[5], "DIAGNOSE OK");

    auto json = runCommand(cli(dir, "diagnose --json"));
    EXPECT_EQ(json.exitStatus, 0);
    nlohmann::json object = nlohmann::json::parse(json.output);
    EXPECT_EQ(object["command"], "diagnose");
    EXPECT_EQ(object["succeeded"], true);
    EXPECT_EQ(object["verdict"], "DIAGNOSE OK");
    ASSERT_EQ(object["steps"].size(), 5u);
    EXPECT_EQ(object["steps"][3]["name"], "C-ECHO");
    EXPECT_TRUE(object["steps"][3]["ms"].is_number());
}

TEST(DiagnoseInterop, ClosedPortWrongAeTitleAndTlsMismatch) {
    if (!havePeers({"storescp", "dcmqrscp", "openssl"}))
        GTEST_SKIP();
    TempDir dir;
    {
        std::string port = std::to_string(testsupport::FreeLoopbackPort());
        setup(dir, "--remote-port " + port);
        auto r = runCommand(cli(dir, "diagnose"));
        EXPECT_EQ(r.exitStatus, 1);
        std::vector<std::string> lines = linesOf(r.output);
        ASSERT_EQ(lines.size(), 5u) << r.output;
        EXPECT_TRUE(startsWith(lines[1], "\u2717 2. TCP connect ("));
        EXPECT_EQ(lines[2], "Reason: TCP connect: connection refused, nothing listens on "
                            "127.0.0.1:" +
                                port + " (errno 111, Connection refused)");
        EXPECT_EQ(lines[3], "Hint: nothing listens there: check the port");
        EXPECT_EQ(lines[4], "DIAGNOSE failed");
        auto json = runCommand(cli(dir, "diagnose --json"));
        EXPECT_EQ(json.exitStatus, 1);
        nlohmann::json object = nlohmann::json::parse(json.output);
        EXPECT_EQ(object["succeeded"], false);
        EXPECT_EQ(object["reason"], lines[2].substr(8));
        EXPECT_EQ(object["hint"], "nothing listens there: check the port");
    }
    {
        TempDir db;
        auto archive = testsupport::StartQueryScp(db.path().string(), 4);
        ASSERT_TRUE(archive->Ready());
        setup(dir, "--remote-aet NOSUCHAE --remote-port " + std::to_string(archive->Port()));
        auto r = runCommand(cli(dir, "diagnose"));
        EXPECT_EQ(r.exitStatus, 1);
        std::vector<std::string> lines = linesOf(r.output);
        ASSERT_EQ(lines.size(), 6u) << r.output;
        EXPECT_TRUE(startsWith(lines[2], "\u2717 3. A-ASSOCIATE (Verification) ("));
        EXPECT_EQ(lines[3], "Reason: association rejected (permanent) by the service user: "
                            "called AE title not recognised - check the Remote AET in Setup "
                            "(result 1, source 1, reason 7)");
        EXPECT_EQ(lines[4], "Hint: the peer does not know the called AE title: Remote AET is "
                            "'NOSUCHAE'");
    }
    {
        DcmtkPeer peer("storescp", {}, dir.path().string());
        ASSERT_TRUE(peer.Ready());
        setup(dir, "--tls on --remote-aet remote --remote-port " + std::to_string(peer.Port()));
        auto r = runCommand(cli(dir, "diagnose"));
        EXPECT_EQ(r.exitStatus, 1);
        std::vector<std::string> lines = linesOf(r.output);
        ASSERT_EQ(lines.size(), 6u) << r.output;
        EXPECT_TRUE(startsWith(lines[2], "\u2717 3. TLS ("));
        EXPECT_TRUE(startsWith(lines[3], "Reason: TLS handshake: ")) << lines[3];
        EXPECT_TRUE(startsWith(lines[4], "Hint: the peer does not complete TLS")) << lines[4];
    }
    {
        std::string key = dir.file("key.pem").string(), cert = dir.file("cert.pem").string();
        ASSERT_EQ(runCommand("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=peer "
                             "-addext subjectAltName=IP:127.0.0.1 -keyout " +
                             shellQuote(key) + " -out " + shellQuote(cert) + " 2>/dev/null")
                      .exitStatus,
                  0);
        DcmtkPeer peer("storescp", {"+tls", key, cert, "-pw", "-ic"}, dir.path().string());
        ASSERT_TRUE(peer.Ready());
        setup(dir, "--tls off --remote-port " + std::to_string(peer.Port()));
        auto r = runCommand(cli(dir, "diagnose"));
        EXPECT_EQ(r.exitStatus, 1);
        std::vector<std::string> lines = linesOf(r.output);
        ASSERT_EQ(lines.size(), 6u) << r.output;
        EXPECT_TRUE(startsWith(lines[2], "\u2717 3. A-ASSOCIATE (Verification) ("));
        // The server is verified: its self-signed certificate is the trusted CA.
        setup(dir, "--tls on --tls-ca " + shellQuote(cert));
        auto ok = runCommand(cli(dir, "diagnose"));
        EXPECT_EQ(ok.exitStatus, 0) << ok.output;
        std::vector<std::string> passed = linesOf(ok.output);
        ASSERT_EQ(passed.size(), 7u) << ok.output;
        EXPECT_TRUE(startsWith(passed[2], "\u2713 3. TLS: TLSv1.")) << passed[2];
        EXPECT_NE(passed[2].find("peer certificate: subject /CN=peer, issuer /CN=peer, expires "),
                  std::string::npos)
            << passed[2];
    }
}

// storescp's transfer syntax options against what the probe finds for a CT image.
TEST(ProbeInterop, StorescpAcceptsWhatItsOptionsSay) {
    if (!havePeers({"storescp"}))
        GTEST_SKIP();
    struct Case {
        std::vector<std::string> options;
        Syntaxes ct;
    };
    const Case cases[] = {
        {{}, {ImplicitLittleEndian, ExplicitLittleEndian, ExplicitBigEndian}},
        {{"+xi"}, {ImplicitLittleEndian}},
        {{"+xs"}, {ImplicitLittleEndian, ExplicitLittleEndian, ExplicitBigEndian, JpegLossless}},
        {{"+xr"}, {ImplicitLittleEndian, ExplicitLittleEndian, ExplicitBigEndian, Rle}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.empty() ? "default" : c.options[0]);
        TempDir dir;
        DcmtkPeer peer("storescp", c.options, dir.path().string());
        ASSERT_TRUE(peer.Ready());
        auto [status, object, accepted] =
            probe(dir, "--remote-port " + std::to_string(peer.Port()));
        EXPECT_EQ(status, 0);
        EXPECT_EQ(object["succeeded"], true);
        EXPECT_EQ(accepted[CtImage], c.ct);
        EXPECT_EQ(accepted["1.2.840.10008.1.1"].size(), c.ct.size());
        // A storage SCP only: no query, worklist or print.
        EXPECT_TRUE(accepted["1.2.840.10008.5.1.4.1.2.2.1"].empty());
        EXPECT_TRUE(accepted["1.2.840.10008.5.1.4.31"].empty());
        EXPECT_TRUE(accepted["1.2.840.10008.5.1.1.9"].empty());
        EXPECT_TRUE(startsWith(object["summary"].get<std::string>(), ""));
        // The 128-context limit: the first round and the narrowing rounds, no more.
        EXPECT_LE(object["associations"].get<int>(), 12);
    }
    // The table as text.
    TempDir dir;
    DcmtkPeer peer("storescp", {}, dir.path().string());
    ASSERT_TRUE(peer.Ready());
    setup(dir, "--remote-port " + std::to_string(peer.Port()));
    auto r = runCommand(cli(dir, "probe"));
    EXPECT_EQ(r.exitStatus, 0);
    std::vector<std::string> lines = linesOf(r.output);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_TRUE(startsWith(lines[0], "SOP class ")) << lines[0];
    EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                           [](const std::string& l) {
                               return startsWith(l, "CT Image Storage ") &&
                                      l.find("\u2713") != std::string::npos;
                           }),
              lines.end());
    EXPECT_NE(lines[lines.size() - 2].find(" storage classes accepted; rejected: "),
              std::string::npos);
    EXPECT_EQ(lines.back(), "PROBE OK");
}

TEST(ProbeInterop, QueryWorklistAndPrintPeers) {
    if (!havePeers({"dcmqrscp", "wlmscpfs", "dcmprscp"}))
        GTEST_SKIP();
    {
        TempDir db;
        auto archive = testsupport::StartQueryScp(db.path().string(), 4);
        ASSERT_TRUE(archive->Ready());
        auto [status, object, accepted] =
            probe(db, "--remote-aet ARCHIVE --remote-port " + std::to_string(archive->Port()));
        EXPECT_EQ(status, 0);
        for (const char* qr : {"1.2.840.10008.5.1.4.1.2.2.1", "1.2.840.10008.5.1.4.1.2.2.2",
                               "1.2.840.10008.5.1.4.1.2.2.3", "1.2.840.10008.5.1.4.1.2.1.1"})
            EXPECT_FALSE(accepted[qr].empty()) << qr;
        EXPECT_EQ(accepted[CtImage],
                  (Syntaxes{ImplicitLittleEndian, ExplicitLittleEndian, ExplicitBigEndian}));
        EXPECT_TRUE(accepted["1.2.840.10008.5.1.4.31"].empty());
    }
    {
        TempDir dir;
        auto peer = testsupport::StartWorklistScp(dir.path().string());
        ASSERT_TRUE(peer->Ready());
        auto [status, object, accepted] =
            probe(dir, "--remote-aet WLM --remote-port " + std::to_string(peer->Port()));
        EXPECT_EQ(status, 0);
        EXPECT_FALSE(accepted["1.2.840.10008.5.1.4.31"].empty());
        EXPECT_FALSE(accepted["1.2.840.10008.1.1"].empty());
        EXPECT_TRUE(accepted[CtImage].empty());
        EXPECT_TRUE(startsWith(object["summary"].get<std::string>(), "0 of "));
    }
    {
        TempDir dir;
        auto peer = testsupport::StartPrintScp(dir.path().string());
        ASSERT_TRUE(peer->Ready());
        auto [status, object, accepted] =
            probe(dir, "--remote-aet PRINTSCP --remote-port " + std::to_string(peer->Port()));
        EXPECT_EQ(status, 0);
        // A grayscale printer: the colour meta class is refused.
        EXPECT_FALSE(accepted["1.2.840.10008.5.1.1.9"].empty());
        EXPECT_TRUE(accepted["1.2.840.10008.5.1.1.18"].empty());
        EXPECT_TRUE(accepted[CtImage].empty());
    }
}

TEST(ProbeInterop, OrthancAcceptsItsConfiguredSyntaxes) {
    if (!havePeers({"Orthanc"}))
        GTEST_SKIP();
    TempDir dir;
    auto peer = testsupport::StartOrthanc(dir.path().string(),
                                          "[\"1.2.840.10008.1.2\", \"1.2.840.10008.1.2.1\", "
                                          "\"1.2.840.10008.1.2.4.70\"]");
    ASSERT_TRUE(peer->Ready());
    auto [status, object, accepted] =
        probe(dir, "--remote-aet ORTHANC --remote-port " + std::to_string(peer->Port()));
    EXPECT_EQ(status, 0) << object.dump();
    EXPECT_EQ(accepted[CtImage],
              (Syntaxes{ImplicitLittleEndian, ExplicitLittleEndian, JpegLossless}));
    EXPECT_FALSE(accepted["1.2.840.10008.1.1"].empty());
    EXPECT_FALSE(accepted["1.2.840.10008.5.1.4.1.2.2.1"].empty());
    EXPECT_FALSE(accepted["1.2.840.10008.5.1.4.1.2.1.2"].empty());
    // No worklist plugin loaded, no printer.
    EXPECT_TRUE(accepted["1.2.840.10008.5.1.4.31"].empty());
    EXPECT_TRUE(accepted["1.2.840.10008.5.1.1.9"].empty());
}
