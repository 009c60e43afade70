#include "AppTestHelpers.h"
#include "DimseScript.h"
#include "Find.h"
#include "FindJobs.h"
#include "JobBodies.h"
#include "JobLines.h"
#include "MainThread.h"
#include "RecordingPane.h"
#include "ScriptedPeer.h"
#include "TestSupport.h"
#include "Worklist.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

using Peer = ScriptedPeer;
using namespace dimsescript;
using testsupport::RecordingPane;
using testsupport::runCommand;
using testsupport::shellQuote;
using testsupport::TempDir;
using Lines = std::vector<std::string>;

namespace {

JobInputs inputsFor(const TempDir& dir, const std::string& port, const QueryFilter& filter = {}) {
    AppState state;
    InitStartDir(state, dir.path().string());
    SetSettingsText(state.Settings.RemotePort, port);
    state.Filter = filter;
    return CaptureJobInputs(state);
}

// Runs the kind's job on the calling thread, as the CLI does; the pane as the window shows it.
Lines runJob(const std::string& kind, const JobInputs& inputs) {
    static const JobBodyTable bodies = [] {
        JobBodyTable table;
        RegisterServiceJobBodies(table);
        return table;
    }();
    RecordingPane pane;
    MainThread job;
    job.JobKind = kind;
    job.Pane = &pane;
    job.Inputs = inputs;
    job.Bodies = &bodies;
    job.Execute();
    // A success says what was done, just before the verdict.
    Lines lines = pane.lines();
    if (job.Succeeded && lines.size() >= 2) {
        EXPECT_TRUE(testsupport::isDoneLine(lines[lines.size() - 2])) << lines[lines.size() - 2];
    }
    return testsupport::withoutDoneLines(lines);
}

std::size_t studyQuerySize(const QueryFilter& f) {
    StudyInfo q;
    q.PatientsName = f.PatientName;
    q.StudyDate = f.DateRange;
    q.AccessionNumber = f.AccessionNumber;
    q.ModalitiesInStudy = f.Modality;
    DcmObj identifier;
    BuildStudyQuery(q, identifier);
    return encode(identifier).size();
}

std::size_t worklistQuerySize(const QueryFilter& f) {
    TWorklistItem q;
    q.PatientsName = f.PatientName;
    q.ScheduledProcedureStepStartDate = f.DateRange;
    q.AccessionNumber = f.AccessionNumber;
    q.Modality = f.Modality;
    DcmObj identifier;
    BuildWorklistQuery(q, identifier);
    return encode(identifier).size();
}

// One study match with the eleven listed fields, elements in tag order.
std::vector<uint8_t> study(const std::string& name, const std::string& id, const std::string& uid) {
    return identifierOf({{0x0008, 0x0020, "20240102"},
                         {0x0008, 0x0030, "101500"},
                         {0x0008, 0x0050, "ACC-" + id},
                         {0x0008, 0x0080, "Veskaro Clinic"},
                         {0x0008, 0x1030, "Head CT"},
                         {0x0010, 0x0010, name},
                         {0x0010, 0x0020, id},
                         {0x0010, 0x0030, "19700101"},
                         {0x0010, 0x0040, "F"},
                         {0x0020, 0x000D, uid},
                         {0x0020, 0x0010, "S" + id}});
}

Lines studyLines(const std::string& name, const std::string& id, const std::string& uid) {
    return {"PatientName: " + name,
            "PatientID: " + id,
            "PatientSex: F",
            "PatientBD: 19700101",
            "StudyID: S" + id,
            "ModalitiesInStudy: ",
            "StudyInstanceUID: " + uid,
            "StudyDate: 20240102",
            "StudyTime: 101500",
            "StudyDescription: Head CT",
            "AccessionNumber: ACC-" + id,
            "InstitutionName: Veskaro Clinic",
            ""};
}

std::vector<uint8_t> worklistEntry(const std::string& name, const std::string& modality) {
    DcmObj identifier;
    auto add = [&](uint16_t g, uint16_t e, const std::string& v) {
        identifier.Append(std::make_unique<DcmTag>(g, e, v, nullptr));
    };
    add(0x0008, 0x0050, "A-" + modality);
    add(0x0008, 0x0090, "Ref^Doc");
    add(0x0010, 0x0010, name);
    add(0x0010, 0x0020, "P-" + modality);
    add(0x0010, 0x0030, "19800202");
    add(0x0010, 0x0040, "M");
    add(0x0032, 0x1060, modality + " exam");
    auto step = std::make_unique<DcmObj>();
    step->AddString(0x0008, 0x0060, modality);
    step->AddString(0x0040, 0x0001, modality + "01");
    step->AddString(0x0040, 0x0002, "20240301");
    step->AddString(0x0040, 0x0003, "0930");
    step->AddString(0x0040, 0x0006, "Perf^Doc");
    auto sequence = std::make_unique<DcmObj>();
    sequence->AddSequence(0xFFFE, 0xE000, std::move(step));
    identifier.AddSequence(0x0040, 0x0100, std::move(sequence));
    return encode(identifier);
}

Lines worklistLines(const std::string& name, const std::string& modality) {
    return {"PatientName: " + name,
            "PatientID: P-" + modality,
            "PatientBD: 19800202",
            "PatientSex: M",
            "AccessionNumber: A-" + modality,
            "Referring Physician: Ref^Doc",
            "Requested Procedure Description: " + modality + " exam",
            "Modality: " + modality,
            "Scheduled Station AET: " + modality + "01",
            "Scheduled Procedure Step Start Date: 20240301",
            "Scheduled Procedure Step Start Time: 0930",
            "Scheduled Performing Physician: Perf^Doc",
            ""};
}

template <typename... Blocks> Lines join(const Blocks&... blocks) {
    Lines all;
    (all.insert(all.end(), blocks.begin(), blocks.end()), ...);
    return all;
}

std::string failureLine(const Peer& peer, const std::string& kind) {
    return kind + " failed to connect to: remote (127.0.0.1:" + peer.PortText() + ")";
}

testsupport::CommandResult cliIn(const TempDir& dir, const std::string& args,
                                 const std::string& stdinFrom = "/dev/null") {
    return runCommand("cd " + shellQuote(dir.path().string()) + " && " + shellQuote(VESKARO_CLI) +
                      " " + args + " <" + stdinFrom + " 2>" + shellQuote(dir.file("err").string()));
}

std::string errText(const TempDir& dir) {
    auto bytes = testsupport::readFileBytes(dir.file("err"));
    return {bytes.begin(), bytes.end()};
}

} // namespace

TEST(FindJob, PaneForNoOneAndThreeMatches) {
    TempDir dir;
    QueryFilter filter{"Doe*", "", "", ""};
    {
        Peer peer(queryScript(StudyRootFindSopClass, studyQuerySize(filter),
                              findResponse(StudyRootFindSopClass, 0, nullptr)));
        EXPECT_EQ(runJob("FIND", inputsFor(dir, peer.PortText(), filter)),
                  (Lines{"", "No studies: 0", "FIND OK"}));
        EXPECT_TRUE(peer.Finish()) << peer.Failure();
    }
    {
        auto one = study("Doe^Jane", "P1", "1.2.3.1");
        Peer peer(queryScript(StudyRootFindSopClass, studyQuerySize(filter),
                              concat(findResponse(StudyRootFindSopClass, 0xFF00, &one),
                                     findResponse(StudyRootFindSopClass, 0, nullptr))));
        EXPECT_EQ(runJob("FIND", inputsFor(dir, peer.PortText(), filter)),
                  join(Lines{""}, studyLines("Doe^Jane", "P1", "1.2.3.1"),
                       Lines{"No studies: 1", "FIND OK"}));
        EXPECT_TRUE(peer.Finish()) << peer.Failure();
    }
    auto a = study("Doe^Jane", "P1", "1.2.3.1"), b = study("Doe^John", "P2", "1.2.3.2"),
         c = study("Doe^Baby", "P3", "1.2.3.3");
    Peer peer(queryScript(StudyRootFindSopClass, studyQuerySize(filter),
                          concat(findResponse(StudyRootFindSopClass, 0xFF00, &a),
                                 findResponse(StudyRootFindSopClass, 0xFF01, &b),
                                 findResponse(StudyRootFindSopClass, 0xFF00, &c),
                                 findResponse(StudyRootFindSopClass, 0, nullptr))));
    EXPECT_EQ(runJob("FIND", inputsFor(dir, peer.PortText(), filter)),
              join(Lines{""}, studyLines("Doe^Jane", "P1", "1.2.3.1"),
                   studyLines("Doe^John", "P2", "1.2.3.2"), studyLines("Doe^Baby", "P3", "1.2.3.3"),
                   Lines{"No studies: 3", "FIND OK"}));
    EXPECT_TRUE(peer.Finish()) << peer.Failure();
    auto log = apptest::logMessages(apptest::logFile(dir.path(), "FIND"));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "Starting FIND Service");
    EXPECT_EQ(log.back(), "FIND OK");
}

// A failure status is final: it lists no block, the count covers what came before, the job
// releases at once (the script expects the release next) and fails.
TEST(FindJob, FailureStatusEndsTheListAndFails) {
    TempDir dir;
    auto one = study("Doe^Jane", "P1", "1.2.3.1");
    Peer peer(queryScript(StudyRootFindSopClass, studyQuerySize({}),
                          concat(findResponse(StudyRootFindSopClass, 0xFF00, &one),
                                 findResponse(StudyRootFindSopClass, 0xC001, nullptr))));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(runJob("FIND", inputsFor(dir, peer.PortText())),
              join(Lines{""}, studyLines("Doe^Jane", "P1", "1.2.3.1"),
                   Lines{"No studies: 1", "Reason: C-FIND refused: 0xC001 cannot understand",
                         failureLine(peer, "FIND")}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_TRUE(peer.Finish()) << peer.Failure();
}

TEST(FindJob, SilentPeerAndClosedPortFail) {
    TempDir dir;
    {
        std::vector<Peer::Step> steps =
            queryScript(StudyRootFindSopClass, studyQuerySize({}), {}, false);
        steps.push_back(Peer::Silent(std::chrono::milliseconds(3000)));
        Peer peer(steps);
        JobInputs inputs = inputsFor(dir, peer.PortText());
        RecordingPane pane;
        std::string kind = "FIND", ts;
        // The job's own 30 seconds, shortened: the body takes its time-out from the job.
        JobContext context{kind, ts, inputs, 1, pane};
        EXPECT_EQ(FindJob(context), JobOutcome::Failed);
        EXPECT_EQ(pane.lines(), (Lines{"", "No studies: 0"}));
        peer.Finish();
    }
    int port;
    {
        Peer probe({Peer::Close()});
        port = probe.Port();
    }
    std::string closed =
        "FIND failed to connect to: remote (127.0.0.1:" + std::to_string(port) + ")";
    std::string reason = "Reason: TCP connect: connection refused, nothing listens on 127.0.0.1:" +
                         std::to_string(port) + " (errno 111, Connection refused)";
    EXPECT_EQ(runJob("FIND", inputsFor(dir, std::to_string(port))),
              (Lines{"Association Failed!", reason, closed}));
    EXPECT_EQ(runJob("WORKLIST", inputsFor(dir, std::to_string(port))),
              (Lines{"Association Failed!", reason, "WORKLIST" + closed.substr(4)}));
}

TEST(WorklistJob, PaneForNoOneAndTwoMatches) {
    TempDir dir;
    QueryFilter filter{"", "20240301-", "", "CT"};
    {
        Peer peer(queryScript(WorklistFindSopClass, worklistQuerySize(filter),
                              findResponse(WorklistFindSopClass, 0, nullptr)));
        EXPECT_EQ(runJob("WORKLIST", inputsFor(dir, peer.PortText(), filter)),
                  (Lines{"No items: 0", "WORKLIST OK"}));
        EXPECT_TRUE(peer.Finish()) << peer.Failure();
    }
    {
        auto one = worklistEntry("Doe^John", "CT");
        Peer peer(queryScript(WorklistFindSopClass, worklistQuerySize(filter),
                              concat(findResponse(WorklistFindSopClass, 0xFF00, &one),
                                     findResponse(WorklistFindSopClass, 0, nullptr))));
        EXPECT_EQ(runJob("WORKLIST", inputsFor(dir, peer.PortText(), filter)),
                  join(worklistLines("Doe^John", "CT"), Lines{"No items: 1", "WORKLIST OK"}));
        EXPECT_TRUE(peer.Finish()) << peer.Failure();
    }
    auto a = worklistEntry("Doe^John", "CT"), b = worklistEntry("Roe^Jane", "MR");
    Peer peer(queryScript(WorklistFindSopClass, worklistQuerySize(filter),
                          concat(findResponse(WorklistFindSopClass, 0xFF01, &a),
                                 findResponse(WorklistFindSopClass, 0xFF00, &b),
                                 findResponse(WorklistFindSopClass, 0, nullptr))));
    EXPECT_EQ(runJob("WORKLIST", inputsFor(dir, peer.PortText(), filter)),
              join(worklistLines("Doe^John", "CT"), worklistLines("Roe^Jane", "MR"),
                   Lines{"No items: 2", "WORKLIST OK"}));
    EXPECT_TRUE(peer.Finish()) << peer.Failure();
}

TEST(WorklistJob, FailureStatusEndsTheListAndFails) {
    TempDir dir;
    auto a = worklistEntry("Doe^John", "CT");
    Peer peer(queryScript(WorklistFindSopClass, worklistQuerySize({}),
                          concat(findResponse(WorklistFindSopClass, 0xFF00, &a),
                                 findResponse(WorklistFindSopClass, 0xA700, &a))));
    EXPECT_EQ(runJob("WORKLIST", inputsFor(dir, peer.PortText())),
              join(worklistLines("Doe^John", "CT"),
                   Lines{"No items: 1", "Reason: C-FIND refused: 0xA700 out of resources",
                         failureLine(peer, "WORKLIST")}));
    EXPECT_TRUE(peer.Finish()) << peer.Failure();
}

// The CLI builds the filter the Query Filter dialog would: what reaches the peer is the
// identifier of that filter, byte for byte.
TEST(CliFind, OptionsBecomeTheDialogsFilter) {
    struct Case {
        std::string args;
        QueryFilter filter;
    };
    const Case cases[] = {
        {"--patient 'Doe*' --modality ALL", {"Doe*", "", "", ""}},
        {"--patient 'Doe*' --modality all", {"Doe*", "", "", ""}},
        {"--accession A7 --modality All", {"", "", "A7", ""}},
        {"--from 20240101", {"", "20240101-", "", ""}},
        {"--to 20240131 --accession A7", {"", "-20240131", "A7", ""}},
        {"--from 20240101 --to 20240131 --modality CT", {"", "20240101-20240131", "", "CT"}},
    };
    for (const Case& c : cases) {
        TempDir dir;
        Peer peer(queryScript(StudyRootFindSopClass, studyQuerySize(c.filter),
                              findResponse(StudyRootFindSopClass, 0, nullptr)));
        ASSERT_EQ(cliIn(dir, "setup --remote-port " + peer.PortText()).exitStatus, 0);
        auto r = cliIn(dir, "find " + c.args);
        EXPECT_EQ(r.exitStatus, 0) << c.args;
        EXPECT_EQ(testsupport::withoutDoneLines(r.output), "\nNo studies: 0\nFIND OK\n") << c.args;
        ASSERT_TRUE(peer.Finish()) << peer.Failure();
        StudyInfo q;
        q.PatientsName = c.filter.PatientName;
        q.StudyDate = c.filter.DateRange;
        q.AccessionNumber = c.filter.AccessionNumber;
        q.ModalitiesInStudy = c.filter.Modality;
        DcmObj expected;
        BuildStudyQuery(q, expected);
        const std::vector<uint8_t>& got = peer.Received();
        std::size_t at = got.size() - ReleaseSize - encode(expected).size();
        EXPECT_EQ(std::vector<uint8_t>(got.begin() + at, got.end() - ReleaseSize), encode(expected))
            << c.args;
    }

    TempDir dir;
    QueryFilter filter{"", "-20240131", "", "MR"};
    Peer peer(queryScript(WorklistFindSopClass, worklistQuerySize(filter),
                          findResponse(WorklistFindSopClass, 0, nullptr)));
    ASSERT_EQ(cliIn(dir, "setup --remote-port " + peer.PortText()).exitStatus, 0);
    auto r = cliIn(dir, "worklist --to 20240131 --modality MR");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(testsupport::withoutDoneLines(r.output), "No items: 0\nWORKLIST OK\n");
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
}

TEST(CliFind, NoFilterNeedsYesOrATerminal) {
    TempDir dir;
    for (const char* kind : {"find", "worklist"}) {
        auto r = cliIn(dir, std::string(kind) + " --modality ALL");
        EXPECT_EQ(r.exitStatus, 2) << kind;
        EXPECT_EQ(r.output, "");
        EXPECT_NE(errText(dir).find("--yes"), std::string::npos);
    }
    // Refused before anything ran: no log folder, no log file.
    EXPECT_FALSE(std::filesystem::exists(dir.file("logs")));

    Peer peer(queryScript(StudyRootFindSopClass, studyQuerySize({}),
                          findResponse(StudyRootFindSopClass, 0, nullptr)));
    ASSERT_EQ(cliIn(dir, "setup --remote-port " + peer.PortText()).exitStatus, 0);
    auto r = cliIn(dir, "find --yes");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(testsupport::withoutDoneLines(r.output), "\nNo studies: 0\nFIND OK\n");
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
}

// On a terminal the CLI asks, as the window's WARNING box does; script(1) gives it one.
TEST(CliFind, NoFilterOnATerminalAsksFirst) {
    if (testsupport::findProgram("script").empty())
        GTEST_SKIP() << "script is missing";
    TempDir dir;
    Peer peer(queryScript(WorklistFindSopClass, worklistQuerySize({}),
                          findResponse(WorklistFindSopClass, 0, nullptr)));
    ASSERT_EQ(cliIn(dir, "setup --remote-port " + peer.PortText()).exitStatus, 0);
    auto ask = [&](const std::string& answer) {
        testsupport::writeFileBytes(dir.file("answer"),
                                    reinterpret_cast<const uint8_t*>(answer.data()), answer.size());
        return runCommand("cd " + shellQuote(dir.path().string()) + " && script -qec " +
                          shellQuote(shellQuote(VESKARO_CLI) + " worklist; echo rc=$?") +
                          " /dev/null <answer");
    };
    auto cancelled = ask("cancel\n");
    EXPECT_NE(cancelled.output.find("Have no filters"), std::string::npos) << cancelled.output;
    EXPECT_NE(cancelled.output.find("rc=1"), std::string::npos) << cancelled.output;
    EXPECT_EQ(cancelled.output.find("WORKLIST"), std::string::npos) << cancelled.output;
    auto confirmed = ask("ok\n");
    EXPECT_NE(confirmed.output.find("WORKLIST OK"), std::string::npos) << confirmed.output;
    EXPECT_NE(confirmed.output.find("rc=0"), std::string::npos) << confirmed.output;
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
}

TEST(CliFind, UsageErrors) {
    TempDir dir;
    for (const char* args : {"find --from 2024-01-01", "find --to 202401011", "find --patient",
                             "worklist --station X", "find --yes extra"}) {
        auto r = cliIn(dir, args);
        EXPECT_EQ(r.exitStatus, 2) << args;
        EXPECT_EQ(r.output, "") << args;
        EXPECT_NE(errText(dir).find("usage: veskaro-cli"), std::string::npos) << args;
    }
}

// --table: one row per study under one header line, columns aligned, then the count and the
// verdict as the pane has them.
TEST(CliFind, TableHasOneRowPerStudy) {
    TempDir dir;
    QueryFilter filter{"Doe*", "", "", ""};
    auto a = study("Doe^Jane", "P1", "1.2.3.1"), b = study("Doe^Johnathan", "P22", "1.2.3.2");
    Peer peer(queryScript(StudyRootFindSopClass, studyQuerySize(filter),
                          concat(findResponse(StudyRootFindSopClass, 0xFF00, &a),
                                 findResponse(StudyRootFindSopClass, 0xFF00, &b),
                                 findResponse(StudyRootFindSopClass, 0, nullptr))));
    ASSERT_EQ(cliIn(dir, "setup --remote-port " + peer.PortText()).exitStatus, 0);
    auto r = cliIn(dir, "find --patient 'Doe*' --table");
    EXPECT_EQ(r.exitStatus, 0);
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
    Lines lines;
    std::size_t start = 0;
    for (std::size_t end; (end = r.output.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(r.output.substr(start, end - start));
    lines = testsupport::withoutDoneLines(lines);
    ASSERT_EQ(lines.size(), 5u) << r.output;
    EXPECT_EQ(lines[0].rfind("PatientName    PatientID  PatientSex  PatientBD  StudyID  ", 0), 0u)
        << lines[0];
    EXPECT_EQ(lines[1].rfind("Doe^Jane       P1         F           19700101   SP1      ", 0), 0u)
        << lines[1];
    EXPECT_EQ(lines[2].rfind("Doe^Johnathan  P22        F           19700101   SP22     ", 0), 0u)
        << lines[2];
    EXPECT_EQ(lines[0].find("InstitutionName"), lines[1].find("Veskaro Clinic"));
    EXPECT_EQ(lines[3], "No studies: 2");
    EXPECT_EQ(lines[4], "FIND OK");
}
