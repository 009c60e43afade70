// FIND against DCMTK dcmqrscp (its database filled with storescu) and WORKLIST against
// wlmscpfs (a worklist folder written as dump text, converted with dump2dcm); every run is
// compared with what findscu reports for the same query.

#include "DcmtkPeer.h"
#include "JobLines.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

using namespace testsupport;

namespace {

const std::string samples = testsupport::SampleFiles;

std::string cli(const TempDir& dir, const std::string& args) {
    return "cd " + shellQuote(dir.path().string()) + " && " + shellQuote(VESKARO_CLI) + " " + args;
}

struct Filter {
    std::string patient{}, from{}, to{}, accession{}, modality{};

    std::string cliArgs() const {
        std::string args;
        auto add = [&](const char* name, const std::string& v) {
            if (!v.empty())
                args += std::string(" ") + name + " " + shellQuote(v);
        };
        add("--patient", patient);
        add("--from", from);
        add("--to", to);
        add("--accession", accession);
        add("--modality", modality);
        return args.empty() ? " --yes" : args;
    }
    std::string dateRange() const { return from.empty() && to.empty() ? "" : from + "-" + to; }
};

// One response data set as dcmdump shows it: tag "gggg,eeee" to value, the last occurrence
// (in the nesting walk) winning, as the worklist reader has it.
using Fields = std::map<std::string, std::string>;

// Runs findscu with the keys in a scratch folder, extracting every response to a file, and
// reads the files back with dcmdump in arrival order.
std::vector<Fields> findscu(const std::string& mode, int port, const std::string& calledAe,
                            const std::vector<std::string>& keys) {
    TempDir scratch;
    std::string command = "cd " + shellQuote(scratch.path().string()) + " && findscu " + mode +
                          " -X -aec " + calledAe + " 127.0.0.1 " + std::to_string(port);
    for (const std::string& key : keys)
        command += " -k " + shellQuote(key);
    EXPECT_EQ(runCommand(command + " 2>/dev/null").exitStatus, 0) << command;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(scratch.path()))
        files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::vector<Fields> responses;
    for (const auto& file : files) {
        auto dump = runCommand("dcmdump -q -Un +L " + shellQuote(file.string()));
        Fields fields;
        std::istringstream in(dump.output);
        // "(gggg,eeee) VR [value]   # length, count Name", indented by its nesting.
        for (std::string text; std::getline(in, text);) {
            std::size_t open = text.find('(');
            std::size_t hash = text.rfind(" #");
            if (open == std::string::npos || hash == std::string::npos || text.size() < open + 16 ||
                text[open + 10] != ')' || text[open + 15] != '[')
                continue;
            std::size_t close = text.rfind(']', hash);
            if (close == std::string::npos || close < open + 16)
                continue;
            std::string value = text.substr(open + 16, close - open - 16);
            value.erase(value.find_last_not_of(' ') + 1);
            fields[text.substr(open + 1, 9)] = value;
        }
        responses.push_back(fields);
    }
    return responses;
}

std::string studyBlocks(const std::vector<Fields>& responses) {
    std::string out = "\n";
    for (const Fields& f : responses) {
        auto v = [&](const char* tag) {
            auto it = f.find(tag);
            return it == f.end() ? std::string() : it->second;
        };
        out += "PatientName: " + v("0010,0010") + "\nPatientID: " + v("0010,0020") +
               "\nPatientSex: " + v("0010,0040") + "\nPatientBD: " + v("0010,0030") +
               "\nStudyID: " + v("0020,0010") + "\nModalitiesInStudy: " + v("0008,0061") +
               "\nStudyInstanceUID: " + v("0020,000d") + "\nStudyDate: " + v("0008,0020") +
               "\nStudyTime: " + v("0008,0030") + "\nStudyDescription: " + v("0008,1030") +
               "\nAccessionNumber: " + v("0008,0050") + "\nInstitutionName: " + v("0008,0080") +
               "\n\n";
    }
    return out + "No studies: " + std::to_string(responses.size()) + "\nFIND OK\n";
}

std::string worklistBlocks(const std::vector<Fields>& responses) {
    std::string out;
    for (const Fields& f : responses) {
        auto v = [&](const char* tag) {
            auto it = f.find(tag);
            return it == f.end() ? std::string() : it->second;
        };
        out += "PatientName: " + v("0010,0010") + "\nPatientID: " + v("0010,0020") +
               "\nPatientBD: " + v("0010,0030") + "\nPatientSex: " + v("0010,0040") +
               "\nAccessionNumber: " + v("0008,0050") + "\nReferring Physician: " + v("0008,0090") +
               "\nRequested Procedure Description: " + v("0032,1060") +
               "\nModality: " + v("0008,0060") + "\nScheduled Station AET: " + v("0040,0001") +
               "\nScheduled Procedure Step Start Date: " + v("0040,0002") +
               "\nScheduled Procedure Step Start Time: " + v("0040,0003") +
               "\nScheduled Performing Physician: " + v("0040,0006") + "\n\n";
    }
    return out + "No items: " + std::to_string(responses.size()) + "\nWORKLIST OK\n";
}

// The keys of the FIND job's study identifier, for findscu.
std::vector<std::string> studyKeys(const Filter& f) {
    return {"QueryRetrieveLevel=STUDY",
            "StudyDate=" + f.dateRange(),
            "StudyTime",
            "AccessionNumber=" + f.accession,
            "ModalitiesInStudy=" + f.modality,
            "InstitutionName",
            "ReferringPhysicianName",
            "StudyDescription",
            "PatientName=" + f.patient,
            "PatientID",
            "PatientBirthDate",
            "PatientSex",
            "PatientComments",
            "StudyInstanceUID",
            "StudyID"};
}

// The keys of the WORKLIST job's identifier, the step keys inside the sequence's one item.
std::vector<std::string> worklistKeys(const Filter& f) {
    std::vector<std::string> keys = {"AccessionNumber=" + f.accession,
                                     "ReferringPhysicianName",
                                     "PatientName=" + f.patient,
                                     "PatientID",
                                     "PatientBirthDate",
                                     "PatientSex",
                                     "StudyInstanceUID",
                                     "RequestedProcedureDescription"};
    const std::string step = "(0040,0100)[0].";
    for (const std::string& k :
         {"(0008,0060)=" + f.modality, std::string("(0032,1070)"), std::string("(0040,0001)"),
          "(0040,0002)=" + f.dateRange(), std::string("(0040,0003)"), std::string("(0040,0006)"),
          std::string("(0040,0007)"), std::string("(0040,0009)"), std::string("(0040,0010)"),
          std::string("(0040,0011)"), std::string("(0040,0012)"), std::string("(0040,0020)")})
        keys.push_back(step + k);
    keys.push_back("RequestedProcedureID");
    keys.push_back("RequestedProcedurePriority");
    return keys;
}

// One dcmqrscp for the suite, its database filled once.
class FindInterop : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!havePeers({"dcmqrscp", "storescu", "findscu", "dcmdump"}))
            return;
        db = std::make_unique<TempDir>();
        peer = testsupport::StartQueryScp(db->path().string());
        if (!peer->Ready())
            return;
        std::string files;
        for (const char* f :
             {"CT_small.dcm", "MR_small.dcm", "rtplan.dcm", "rtdose.dcm", "waveform_ecg.dcm"})
            files += " " + shellQuote(samples + f);
        stored = runCommand("storescu -aec ARCHIVE 127.0.0.1 " + std::to_string(peer->Port()) +
                            files + " 2>&1")
                     .exitStatus == 0;
    }
    static void TearDownTestSuite() {
        peer.reset();
        db.reset();
    }
    void SetUp() override {
        if (!db)
            GTEST_SKIP();
        ASSERT_TRUE(peer->Ready());
        ASSERT_TRUE(stored);
        ASSERT_EQ(runCommand(cli(work, "setup --remote-aet ARCHIVE --remote-port " +
                                           std::to_string(peer->Port())))
                      .exitStatus,
                  0);
    }
    // The CLI's FIND and findscu's answer for the same filter; returns the number of studies.
    std::size_t compare(const Filter& f) {
        auto expected = findscu("-S", peer->Port(), "ARCHIVE", studyKeys(f));
        auto r = runCommand(cli(work, "find" + f.cliArgs()));
        EXPECT_EQ(r.exitStatus, 0) << f.cliArgs();
        EXPECT_EQ(testsupport::withoutDoneLines(r.output), studyBlocks(expected)) << f.cliArgs();
        return expected.size();
    }

    static inline std::unique_ptr<TempDir> db;
    static inline std::unique_ptr<DcmtkPeer> peer;
    static inline bool stored = false;
    TempDir work;
};

const WorklistItem worklistItems[] = {
    {.number = "001",
     .procedure = "CT Head",
     .modality = "CT",
     .station = "CT01",
     .date = "20240301",
     .time = "090000",
     .step = "Head scan",
     .priority = "ROUTINE",
     .patient = "Doe^John",
     .birthDate = "19700101",
     .sex = "M",
     .study = "101",
     .referring = "Ref^Doctor",
     .performing = "Perf^One"},
    {.number = "002",
     .procedure = "MR Knee",
     .modality = "MR",
     .station = "MR01",
     .date = "20240303",
     .time = "143000",
     .step = "Knee left",
     .priority = "HIGH",
     .study = "102",
     .referring = "Ref^Other",
     .performing = "Perf^Two"},
    {.number = "003",
     .procedure = "CT Chest",
     .modality = "CT",
     .station = "CT02",
     .date = "20240305",
     .time = "080000",
     .step = "Chest",
     .priority = "ROUTINE",
     .patient = "Smith^Anna",
     .birthDate = "20010704",
     .study = "103"},
};

// One wlmscpfs for the suite, serving a folder of three worklist entries.
class WorklistInterop : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!havePeers({"wlmscpfs", "dump2dcm", "findscu", "dcmdump"}))
            return;
        dir = std::make_unique<TempDir>();
        peer = testsupport::StartWorklistScp(dir->path().string());
        converted = testsupport::WriteWorklistFiles(
            dir->file("WLM").string(),
            {worklistItems[0].Dump(), worklistItems[1].Dump(), worklistItems[2].Dump()});
    }
    static void TearDownTestSuite() {
        peer.reset();
        dir.reset();
    }
    void SetUp() override {
        if (!dir)
            GTEST_SKIP();
        ASSERT_TRUE(converted);
        ASSERT_TRUE(peer->Ready());
        ASSERT_EQ(runCommand(cli(work, "setup --remote-aet WLM --remote-port " +
                                           std::to_string(peer->Port())))
                      .exitStatus,
                  0);
    }
    std::size_t compare(const Filter& f) {
        auto expected = findscu("-W", peer->Port(), "WLM", worklistKeys(f));
        auto r = runCommand(cli(work, "worklist" + f.cliArgs()));
        EXPECT_EQ(r.exitStatus, 0) << f.cliArgs();
        EXPECT_EQ(testsupport::withoutDoneLines(r.output), worklistBlocks(expected)) << f.cliArgs();
        return expected.size();
    }

    static inline std::unique_ptr<TempDir> dir;
    static inline std::unique_ptr<DcmtkPeer> peer;
    static inline bool converted = false;
    TempDir work;
};

} // namespace

TEST_F(FindInterop, NoFilterListsEveryStudyAsFindscuDoes) {
    EXPECT_EQ(compare({}), 5u);
}

TEST_F(FindInterop, FiltersNarrowTheListAsFindscuDoes) {
    EXPECT_EQ(compare({.patient = "CompressedSamples*"}), 2u);
    EXPECT_EQ(compare({.patient = "Anonymous"}), 1u);
    EXPECT_EQ(compare({.from = "20030801", .to = "20040201"}), 2u);
    EXPECT_EQ(compare({.from = "20100101"}), 1u);
    EXPECT_EQ(compare({.to = "20030731"}), 1u);
    // dcmqrscp does not match Modalities in Study, so this one narrows nothing with either.
    compare({.modality = "MR"});
    EXPECT_EQ(compare({.patient = "Nobody*"}), 0u);
}

TEST_F(FindInterop, LogShowsTheExchangeAtPduLevel) {
    ASSERT_EQ(runCommand(cli(work, "setup --log-level 2")).exitStatus, 0);
    EXPECT_EQ(compare({.accession = "03028041970546"}), 1u);
    std::filesystem::path logs = work.file("logs");
    ASSERT_TRUE(std::filesystem::exists(logs));
    std::string text;
    for (const auto& entry : std::filesystem::directory_iterator(logs)) {
        std::ifstream in(entry.path(), std::ios::binary);
        text.append(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_NE(text.find("Starting FIND Service\r\n"), std::string::npos);
    EXPECT_NE(text.find("Called Ap. Title: ARCHIVE         \r\n"), std::string::npos);
    EXPECT_NE(text.find("Command Field: 32\r\n"), std::string::npos);
    EXPECT_NE(text.find("Command Field: 32800\r\n"), std::string::npos);
    EXPECT_NE(text.find("FIND OK\r\n"), std::string::npos);
}

TEST_F(WorklistInterop, NoFilterListsEveryEntryAsFindscuDoes) {
    EXPECT_EQ(compare({}), 3u);
}

TEST_F(WorklistInterop, FiltersNarrowTheListAsFindscuDoes) {
    EXPECT_EQ(compare({.modality = "CT"}), 2u);
    EXPECT_EQ(compare({.patient = "Roe*"}), 1u);
    EXPECT_EQ(compare({.from = "20240302", .to = "20240304"}), 1u);
    EXPECT_EQ(compare({.from = "20240303"}), 2u);
    EXPECT_EQ(compare({.accession = "ACC003", .modality = "CT"}), 1u);
    EXPECT_EQ(compare({.accession = "NONE"}), 0u);
}
