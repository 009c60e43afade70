#include "AppTestHelpers.h"
#include "Setup.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using testsupport::runCommand;
using testsupport::shellQuote;
using testsupport::TempDir;

namespace {

// The CLI run with dir as its current directory.
testsupport::CommandResult cliIn(const TempDir& dir, const std::string& args) {
    return runCommand("cd " + shellQuote(dir.path().string()) + " && " + shellQuote(VESKARO_CLI) +
                      " " + args);
}

// A loopback port that nothing listens on: bound once by the kernel's choice, then released.
int closedLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    close(fd);
    return ntohs(address.sin_port);
}

const std::string defaultsPrinted = "local-aet: local\n"
                                    "remote-host: 127.0.0.1\n"
                                    "remote-port: 104\n"
                                    "remote-aet: remote\n"
                                    "log-level: 0\n"
                                    "tls: off\n"
                                    "film-destination: 0\n"
                                    "film-orientation: 0\n"
                                    "film-size: 0\n"
                                    "magnification: 0\n"
                                    "planar: off\n";

} // namespace

TEST(CliSetup, PrintsTheDefaultsWithoutWritingAFile) {
    TempDir dir;
    auto r = cliIn(dir, "setup");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.output, defaultsPrinted);
    EXPECT_FALSE(std::filesystem::exists(dir.file("veskaro.cfg")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("logs")));
}

TEST(CliSetup, ChangesOnlyTheGivenFieldsAndKeepsEarlierChanges) {
    TempDir dir;
    ASSERT_EQ(cliIn(dir, "setup --remote-host pacs.local --remote-port 11112 --log-level 2 "
                         "--tls on --film-size 3 --film-orientation -1")
                  .exitStatus,
              0);
    ASSERT_EQ(cliIn(dir, "setup --local-aet VESKARO --planar on --magnification 2 "
                         "--film-destination 4 --remote-aet ARCHIVE --log-level 3")
                  .exitStatus,
              0);
    EXPECT_EQ(std::filesystem::file_size(dir.file("veskaro.cfg")), 440u);

    SettingsRecord expected = DefaultSettings();
    SetSettingsText(expected.RemoteHost, "pacs.local");
    SetSettingsText(expected.RemotePort, "11112");
    SetSettingsText(expected.LocalAET, "VESKARO");
    SetSettingsText(expected.RemoteAET, "ARCHIVE");
    expected.LogLevel = 3;
    expected.UseTls = 1;
    expected.FilmSizeIndex = 3;
    expected.FilmOrientationIndex = -1;
    expected.MagnificationIndex = 2;
    expected.FilmDestinationIndex = 4;
    expected.PlanarConfiguration = 1;
    SettingsRecord loaded;
    ASSERT_TRUE(LoadSettings(dir.file("veskaro.cfg").string(), loaded));
    EXPECT_EQ(std::memcmp(&loaded, &expected, sizeof loaded), 0);

    EXPECT_EQ(cliIn(dir, "setup").output, "local-aet: VESKARO\n"
                                          "remote-host: pacs.local\n"
                                          "remote-port: 11112\n"
                                          "remote-aet: ARCHIVE\n"
                                          "log-level: 3\n"
                                          "tls: on\n"
                                          "film-destination: 4\n"
                                          "film-orientation: -1\n"
                                          "film-size: 3\n"
                                          "magnification: 2\n"
                                          "planar: on\n");

    // Too long for the field: cut to 127 characters, the record stays whole.
    ASSERT_EQ(cliIn(dir, "setup --remote-host " + std::string(200, 'h') + " --tls off").exitStatus,
              0);
    ASSERT_TRUE(LoadSettings(dir.file("veskaro.cfg").string(), loaded));
    EXPECT_EQ(SettingsText(loaded.RemoteHost), std::string(127, 'h'));
    EXPECT_EQ(SettingsText(loaded.RemotePort), "11112");
    EXPECT_EQ(loaded.UseTls, 0);
}

TEST(CliSetup, UsageErrorsChangeNothing) {
    TempDir dir;
    ASSERT_EQ(cliIn(dir, "setup --remote-port 4242").exitStatus, 0);
    std::vector<uint8_t> before = testsupport::readFileBytes(dir.file("veskaro.cfg"));
    for (const char* args :
         {"--log-level 4", "--log-level -1", "--log-level 2x", "--tls yes", "--planar",
          "--film-size 5", "--film-destination -2", "--magnification 4", "--remote-host",
          "--bogus 1", "--local-aet X extra", "--local-aet A --log-level"}) {
        SCOPED_TRACE(args);
        auto r = cliIn(dir, std::string("setup ") + args + " 2>&1");
        EXPECT_EQ(r.exitStatus, 2);
        EXPECT_EQ(r.output.rfind("usage: veskaro-cli", 0), 0u) << r.output;
        EXPECT_EQ(testsupport::readFileBytes(dir.file("veskaro.cfg")), before);
    }
}

TEST(CliEcho, ClosedPortEndsInTheFailureVerdict) {
    TempDir dir;
    int port = closedLoopbackPort();
    ASSERT_GT(port, 0);
    ASSERT_EQ(cliIn(dir, "setup --remote-aet PEER --remote-port " + std::to_string(port) +
                             " --log-level 1")
                  .exitStatus,
              0);

    auto r = cliIn(dir, "echo");
    EXPECT_EQ(r.exitStatus, 1);
    const std::string verdict =
        "ECHO failed to connect to: PEER (127.0.0.1:" + std::to_string(port) + ")";
    const std::string reason = "Reason: TCP connect: connection refused, nothing listens on "
                               "127.0.0.1:" +
                               std::to_string(port) + " (errno 111, Connection refused)";
    EXPECT_EQ(r.output, reason + "\n" + verdict + "\n");

    std::vector<std::string> log = apptest::logMessages(apptest::logFile(dir.path(), "ECHO"));
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log.front(), "Starting ECHO Service");
    EXPECT_EQ(log[log.size() - 2], reason);
    EXPECT_EQ(log.back(), verdict);

    // Same day, same kind: the file grows.
    cliIn(dir, "echo");
    EXPECT_EQ(apptest::logMessages(apptest::logFile(dir.path(), "ECHO")).size(), 2 * log.size());
}

TEST(CliEcho, RunsWithTheDefaultsAndCreatesTheLogsFolder) {
    TempDir dir;
    auto r = cliIn(dir, "echo");
    // Nothing is expected to answer on port 104 here; either way the pane has one verdict line.
    EXPECT_TRUE(r.output == "ECHO OK\n" ||
                r.output.ends_with("\nECHO failed to connect to: remote (127.0.0.1:104)\n"))
        << r.output;
    EXPECT_EQ(r.exitStatus, r.output == "ECHO OK\n" ? 0 : 1);
    EXPECT_TRUE(std::filesystem::is_regular_file(apptest::logFile(dir.path(), "ECHO")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("veskaro.cfg")));
    EXPECT_EQ(cliIn(dir, "echo now 2>/dev/null").exitStatus, 2);
}
