#include "DcmtkPeer.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>

using testsupport::DcmtkPeer;
using testsupport::runCommand;
using testsupport::shellQuote;
using testsupport::TempDir;

namespace {

std::string cli(const TempDir& dir, const std::string& args) {
    return "cd " + shellQuote(dir.path().string()) + " && " + shellQuote(VESKARO_CLI) + " " + args;
}

std::vector<std::string> logLines(const TempDir& dir, const std::string& kind) {
    char day[16];
    std::time_t now = std::time(nullptr);
    std::strftime(day, sizeof day, "%Y%m%d", std::localtime(&now));
    std::ifstream in(dir.path() / "logs" / (std::string(day) + "_" + kind + ".log"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.substr(line.find(", ") + 2));
    return lines;
}

bool havePeer(const std::string& program) {
    if (!testsupport::findProgram(program).empty())
        return true;
    if (testsupport::peersRequired())
        ADD_FAILURE() << program << " is missing";
    return false;
}

} // namespace

TEST(EchoInterop, EchoOkAgainstStorescp) {
    if (!havePeer("storescp"))
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
    EXPECT_EQ(r.output, "ECHO failed to connect to: remote (no-such-host.invalid:104)\n");
    auto lines = logLines(dir, "ECHO");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "ERROR, PDU_Service::Connect, Socket Level Error\r"),
              lines.end());
}
