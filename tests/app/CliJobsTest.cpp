#include "AppTestHelpers.h"
#include "DimseScript.h"
#include "ExtraSettings.h"
#include "JobLines.h"
#include "ScriptedPeer.h"
#include "Setup.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>

#include <sys/stat.h>
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
                                    "planar: off\n"
                                    "tls-ca: \n"
                                    "tls-cert: \n"
                                    "tls-key: \n"
                                    "tls-insecure: off\n"
                                    "tls12-only: off\n";

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
                                          "planar: on\n"
                                          "tls-ca: \n"
                                          "tls-cert: \n"
                                          "tls-key: \n"
                                          "tls-insecure: off\n"
                                          "tls12-only: off\n");

    ASSERT_EQ(cliIn(dir, "setup --tls off").exitStatus, 0);
    ASSERT_TRUE(LoadSettings(dir.file("veskaro.cfg").string(), loaded));
    EXPECT_EQ(SettingsText(loaded.RemotePort), "11112");
    EXPECT_EQ(loaded.UseTls, 0);
}

// A value that would be stored cut, wrapped or empty is refused with the option named, and
// nothing is written.
TEST(CliSetup, InvalidValuesAreRefusedNamingTheField) {
    TempDir dir;
    ASSERT_EQ(cliIn(dir, "setup --remote-port 4242").exitStatus, 0);
    std::vector<uint8_t> before = testsupport::readFileBytes(dir.file("veskaro.cfg"));
    struct Case {
        std::string args;
        const char* option;
    };
    const Case cases[] = {
        {"--remote-port 76876", "--remote-port"},
        {"--remote-port 0", "--remote-port"},
        {"--remote-port 10a", "--remote-port"},
        {"--remote-port ''", "--remote-port"},
        {"--remote-aet ''", "--remote-aet"},
        {"--remote-aet '    '", "--remote-aet"},
        {"--remote-aet 'A\\B'", "--remote-aet"},
        {"--local-aet ABCDEFGHIJKLMNOPQ", "--local-aet"},
        {"--local-aet \"$(printf 'A\\tB')\"", "--local-aet"},
        {"--remote-host 'a b'", "--remote-host"},
        {"--remote-host ''", "--remote-host"},
        {"--remote-host " + std::string(200, 'h'), "--remote-host"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        auto r = testsupport::runCommand("cd " + shellQuote(dir.path().string()) + " && " +
                                         shellQuote(VESKARO_CLI) + " setup " + c.args + " 2>&1");
        EXPECT_EQ(r.exitStatus, 2);
        EXPECT_EQ(r.output.rfind(std::string("veskaro-cli: ") + c.option + " \"", 0), 0u)
            << r.output;
        EXPECT_NE(r.output.find("refused: must be"), std::string::npos) << r.output;
        EXPECT_EQ(testsupport::readFileBytes(dir.file("veskaro.cfg")), before);
    }
    // The limits themselves are fine.
    EXPECT_EQ(cliIn(dir, "setup --remote-port 65535 --local-aet ABCDEFGHIJKLMNOP --remote-aet "
                         "' A B' --remote-host ::1")
                  .exitStatus,
              0);
}

// The TLS settings live in veskaro-extra.cfg beside the record, which keeps its 440 bytes.
TEST(CliSetup, TlsSettingsGoToTheExtraFile) {
    TempDir dir;
    ASSERT_EQ(cliIn(dir, "setup --tls on --tls-ca ca.pem --tls-cert client.pem --tls-key "
                         "client.key --tls-insecure on --tls12-only on")
                  .exitStatus,
              0);
    EXPECT_EQ(std::filesystem::file_size(dir.file("veskaro.cfg")), 440u);
    ExtraSettings extra = LoadExtraSettings(dir.file("veskaro-extra.cfg").string());
    EXPECT_EQ(extra.TlsCaFile, "ca.pem");
    EXPECT_EQ(extra.TlsCertificateFile, "client.pem");
    EXPECT_EQ(extra.TlsKeyFile, "client.key");
    EXPECT_TRUE(extra.TlsAcceptAnyServer);
    EXPECT_TRUE(extra.TlsPin12);
    std::string shown = cliIn(dir, "setup").output;
    EXPECT_NE(shown.find("tls-ca: ca.pem\ntls-cert: client.pem\ntls-key: client.key\n"
                         "tls-insecure: on\ntls12-only: on\n"),
              std::string::npos)
        << shown;
    ASSERT_EQ(cliIn(dir, "setup --tls-insecure off --tls-ca ''").exitStatus, 0);
    extra = LoadExtraSettings(dir.file("veskaro-extra.cfg").string());
    EXPECT_FALSE(extra.TlsAcceptAnyServer);
    EXPECT_EQ(extra.TlsCaFile, "");
    EXPECT_EQ(extra.TlsKeyFile, "client.key");
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
    const std::string port = testsupport::closedPort();
    ASSERT_EQ(
        cliIn(dir, "setup --remote-aet PEER --remote-port " + port + " --log-level 1").exitStatus,
        0);

    auto r = cliIn(dir, "echo");
    EXPECT_EQ(r.exitStatus, 1);
    const std::string verdict = "ECHO failed to connect to: PEER (127.0.0.1:" + port + ")";
    const std::string reason = "Reason: TCP connect: connection refused, nothing listens on "
                               "127.0.0.1:" +
                               port + " (errno 111, Connection refused)";
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
    const std::string pane = testsupport::withoutDoneLines(r.output);
    EXPECT_TRUE(pane == "ECHO OK\n" ||
                pane.ends_with("\nECHO failed to connect to: remote (127.0.0.1:104)\n"))
        << r.output;
    EXPECT_EQ(r.exitStatus, pane == "ECHO OK\n" ? 0 : 1);
    EXPECT_TRUE(std::filesystem::is_regular_file(apptest::logFile(dir.path(), "ECHO")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("veskaro.cfg")));
    EXPECT_EQ(cliIn(dir, "echo now 2>/dev/null").exitStatus, 2);
}

// A start directory that is gone is refused before anything is written: no settings file or
// logs folder lands in "/" or anywhere else.
TEST(CliStartDirectory, DeletedCurrentDirectoryIsRefused) {
    TempDir dir;
    for (const char* args : {"echo", "setup", "setup --remote-port 11112", "store x.dcm",
                             "print x.dcm", "find --yes", "worklist --patient A"}) {
        std::filesystem::create_directory(dir.file("gone"));
        auto r =
            runCommand("cd " + shellQuote(dir.file("gone").string()) + " && rmdir \"$PWD\" && " +
                       shellQuote(VESKARO_CLI) + " " + args + " 2>&1");
        EXPECT_EQ(r.exitStatus, 2) << args;
        EXPECT_EQ(r.output, "veskaro-cli: the current directory no longer exists; it is the "
                            "start directory, which holds veskaro.cfg and logs/: change to an "
                            "existing directory\n")
            << args;
    }
    EXPECT_FALSE(std::filesystem::exists("/veskaro.cfg"));
    EXPECT_FALSE(std::filesystem::exists("/logs"));
}

// Named pipes and folders given as FILE end the job at once with the reader's reason; nothing
// waits for a writer that never comes.
TEST(CliFiles, PipesAndFoldersAreRefusedAtOnce) {
    TempDir dir;
    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(dir.file("pipe.jpg").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.file("folder"));
    cliIn(dir, "setup --remote-port " + testsupport::closedPort());
    const std::string limit = "timeout 60 ";
    auto run = [&](const std::string& args) {
        return runCommand("cd " + shellQuote(dir.path().string()) + " && " + limit +
                          shellQuote(VESKARO_CLI) + " " + args + " 2>/dev/null");
    };
    for (const char* name : {"pipe", "folder"}) {
        auto dump = run(std::string("dump ") + name);
        EXPECT_EQ(dump.exitStatus, 1) << name;
        EXPECT_EQ(dump.output, "") << name;
    }
    for (const char* kind : {"STORE", "PRINT"}) {
        std::filesystem::remove_all(dir.file("logs"));
        const bool store = kind == std::string("STORE");
        const std::string command = store ? "store" : "print";
        // STORE takes a folder as the files in it (none here).
        std::vector<std::string> names = {"pipe"};
        if (!store)
            names.push_back("folder");
        for (const std::string& name : names)
            EXPECT_EQ(run(command + " " + name).exitStatus, 1) << command << " " << name;
        std::string log = testsupport::readText(apptest::logFile(dir.path(), kind));
        for (const std::string& name : names)
            EXPECT_NE(
                log.find("ERROR, BufData::LoadFromFile, not a regular file: " + name + "\r\n"),
                std::string::npos)
                << log;
    }
    auto folder = run("store folder");
    EXPECT_EQ(folder.exitStatus, 1);
    EXPECT_NE(folder.output.find("Sent: 0, failed: 0, skipped: 0"), std::string::npos);
    EXPECT_EQ(run("print pipe.jpg").exitStatus, 1);
    EXPECT_NE(testsupport::readText(apptest::logFile(dir.path(), "PRINT"))
                  .find("ERROR, PRINT, not a regular file: pipe.jpg\r\n"),
              std::string::npos);
}

// Standard error carries only the program's own words: without XDG_RUNTIME_DIR the offscreen
// application of PRINT gets a private runtime directory instead of warning about it.
TEST(CliPrint, StandardErrorStaysQuietWithoutARuntimeDirectory) {
    TempDir dir;
    cliIn(dir, "setup --remote-port " + testsupport::closedPort());
    testsupport::writeFileBytes(dir.file("x.dcm"), std::vector<uint8_t>(200, 0));
    auto r = runCommand("cd " + shellQuote(dir.path().string()) + " && env -u XDG_RUNTIME_DIR " +
                        shellQuote(VESKARO_CLI) + " print x.dcm 2>&1 >/dev/null");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.output, "");
}

// Ctrl-C while the job waits on a peer that never answers: the association is aborted, the
// job ends with the reason and its failure verdict. Standard error is no terminal here, so it
// shows no status.
TEST(CliEcho, InterruptAbortsTheAssociation) {
    TempDir dir;
    ScriptedPeer peer({ScriptedPeer::Expect(dimsescript::associateRequestSize("1.2.840.10008.1.1")),
                       ScriptedPeer::Expect(10), ScriptedPeer::Close()});
    ASSERT_EQ(cliIn(dir, "setup --remote-aet QUIET --remote-port " + peer.PortText()).exitStatus,
              0);
    auto r = runCommand("cd " + shellQuote(dir.path().string()) + " && (" +
                        shellQuote(VESKARO_CLI) + " echo 2>err & pid=$!; " +
                        // Until the CLI has its handler, a background job ignores the signal.
                        "for i in $(seq 40); do sleep 0.25; kill -INT $pid 2>/dev/null || break; " +
                        "done; wait $pid; echo rc=$?)");
    EXPECT_EQ(r.output,
              "Reason: cancelled by the user\nECHO failed to connect to: QUIET (127.0.0.1:" +
                  peer.PortText() + ")\nrc=1\n");
    EXPECT_TRUE(testsupport::readFileBytes(dir.file("err")).empty());
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
    const std::vector<uint8_t>& got = peer.Received();
    EXPECT_EQ(std::vector<uint8_t>(got.end() - 10, got.end()),
              hexBytes("07 00 00000004 00 00 00 00"));
}

// On a terminal the status is one line on standard error that rewrites itself with "\r".
TEST(CliEcho, StatusLineOnATerminal) {
    if (testsupport::findProgram("script").empty())
        GTEST_SKIP() << "script is missing";
    TempDir dir;
    ScriptedPeer peer({ScriptedPeer::Expect(dimsescript::associateRequestSize("1.2.840.10008.1.1")),
                       ScriptedPeer::Silent(std::chrono::milliseconds(1500)),
                       ScriptedPeer::Close()});
    ASSERT_EQ(cliIn(dir, "setup --remote-aet QUIET --remote-port " + peer.PortText()).exitStatus,
              0);
    auto r = runCommand("cd " + shellQuote(dir.path().string()) + " && script -qec " +
                        shellQuote(shellQuote(VESKARO_CLI) + " echo") + " /dev/null </dev/null");
    EXPECT_NE(r.output.find("\rECHO: negotiating, "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("ECHO failed to connect to: QUIET"), std::string::npos) << r.output;
    peer.Finish();
}

// Every job command takes --json: stdout holds one object (no pane or progress lines), with
// the failure's reason, and the exit status stays that of the job.
TEST(CliJson, EveryJobCommandPrintsOneObject) {
    TempDir dir;
    ASSERT_EQ(cliIn(dir, "setup --remote-port " + testsupport::closedPort()).exitStatus, 0);
    const std::string files = shellQuote(testsupport::SampleFiles + "CT_small.dcm") + " " +
                              shellQuote(testsupport::SampleFiles + "MR_small.dcm");
    const std::pair<const char*, std::string> commands[] = {
        {"store", "store " + files},
        {"find", "find --level series --study 1.2.3"},
        {"mpps", "mpps start"},
        {"commit", "commit " + files},
        {"move", "move --study 1.2.3"},
        {"get", "get --study 1.2.3"},
        {"workflow", "workflow --worklist-item 1 " + files},
    };
    for (const auto& [name, args] : commands) {
        auto r =
            runCommand("cd " + shellQuote(dir.path().string()) + " && " + shellQuote(VESKARO_CLI) +
                       " " + args + " --json </dev/null 2>/dev/null");
        EXPECT_EQ(r.exitStatus, 1) << args;
        nlohmann::json object = nlohmann::json::parse(r.output, nullptr, false);
        ASSERT_TRUE(object.is_object()) << args << "\n" << r.output;
        EXPECT_EQ(object["command"], name);
        EXPECT_EQ(object["succeeded"], false);
        EXPECT_NE(object["reason"].get<std::string>().find("connection refused"), std::string::npos)
            << args << "\n"
            << r.output;
        EXPECT_FALSE(object["lines"].empty()) << args;
    }
}
