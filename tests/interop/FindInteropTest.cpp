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

using testsupport::DcmtkPeer;
using testsupport::havePeers;
using testsupport::runCommand;
using testsupport::shellQuote;
using testsupport::TempDir;

namespace {

const std::string samples = "/usr/lib/python3/dist-packages/pydicom/data/test_files/";

std::string cli(const TempDir& dir, const std::string& args) {
    return "cd " + shellQuote(dir.path().string()) + " && " + shellQuote(VESKARO_CLI) + " " + args;
}

void writeText(const std::filesystem::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
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
        std::filesystem::create_directory(db->file("db"));
        writeText(db->file("dcmqrscp.cfg"), "NetworkTCPPort = 104\nMaxPDUSize = 16384\n"
                                            "MaxAssociations = 16\n"
                                            "HostTable BEGIN\nHostTable END\n"
                                            "VendorTable BEGIN\nVendorTable END\n"
                                            "AETable BEGIN\nARCHIVE " +
                                                db->file("db").string() +
                                                " RW (50, 64mb) ANY\nAETable END\n");
        peer = std::make_unique<DcmtkPeer>(
            "dcmqrscp", std::vector<std::string>{"-c", db->file("dcmqrscp.cfg").string()},
            db->path().string());
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

const char* const worklistEntries[] = {
    R"((0008,0005) CS [ISO_IR 100]
(0008,0050) SH [ACC001]
(0008,0090) PN [Ref^Doctor]
(0010,0010) PN [Doe^John]
(0010,0020) LO [PID001]
(0010,0030) DA [19700101]
(0010,0040) CS [M]
(0020,000d) UI [1.2.826.0.1.3680043.2.1143.101]
(0032,1060) LO [CT Head]
(0040,0100) SQ (Sequence with undefined length)
(fffe,e000) na (Item with undefined length)
(0008,0060) CS [CT]
(0040,0001) AE [CT01]
(0040,0002) DA [20240301]
(0040,0003) TM [090000]
(0040,0006) PN [Perf^One]
(0040,0007) LO [Head scan]
(0040,0009) SH [SPS001]
(fffe,e00d) na (ItemDelimitationItem)
(fffe,e0dd) na (SequenceDelimitationItem)
(0040,1001) SH [RP001]
(0040,1003) SH [ROUTINE]
)",
    R"((0008,0005) CS [ISO_IR 100]
(0008,0050) SH [ACC002]
(0008,0090) PN [Ref^Other]
(0010,0010) PN [Roe^Jane]
(0010,0020) LO [PID002]
(0010,0030) DA [19851224]
(0010,0040) CS [F]
(0020,000d) UI [1.2.826.0.1.3680043.2.1143.102]
(0032,1060) LO [MR Knee]
(0040,0100) SQ (Sequence with undefined length)
(fffe,e000) na (Item with undefined length)
(0008,0060) CS [MR]
(0040,0001) AE [MR01]
(0040,0002) DA [20240303]
(0040,0003) TM [143000]
(0040,0006) PN [Perf^Two]
(0040,0007) LO [Knee left]
(0040,0009) SH [SPS002]
(fffe,e00d) na (ItemDelimitationItem)
(fffe,e0dd) na (SequenceDelimitationItem)
(0040,1001) SH [RP002]
(0040,1003) SH [HIGH]
)",
    R"((0008,0005) CS [ISO_IR 100]
(0008,0050) SH [ACC003]
(0010,0010) PN [Smith^Anna]
(0010,0020) LO [PID003]
(0010,0030) DA [20010704]
(0010,0040) CS [F]
(0020,000d) UI [1.2.826.0.1.3680043.2.1143.103]
(0032,1060) LO [CT Chest]
(0040,0100) SQ (Sequence with undefined length)
(fffe,e000) na (Item with undefined length)
(0008,0060) CS [CT]
(0040,0001) AE [CT02]
(0040,0002) DA [20240305]
(0040,0003) TM [080000]
(0040,0007) LO [Chest]
(0040,0009) SH [SPS003]
(fffe,e00d) na (ItemDelimitationItem)
(fffe,e0dd) na (SequenceDelimitationItem)
(0040,1001) SH [RP003]
(0040,1003) SH [ROUTINE]
)",
};

// One wlmscpfs for the suite, serving a folder of three worklist entries.
class WorklistInterop : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!havePeers({"wlmscpfs", "dump2dcm", "findscu", "dcmdump"}))
            return;
        dir = std::make_unique<TempDir>();
        std::filesystem::path ae = dir->file("WLM");
        std::filesystem::create_directory(ae);
        writeText(ae / "lockfile", "");
        converted = true;
        int n = 0;
        for (const char* entry : worklistEntries) {
            std::string name = "entry" + std::to_string(++n);
            writeText(dir->file(name + ".dump"), entry);
            converted = converted &&
                        runCommand("dump2dcm " + shellQuote(dir->file(name + ".dump").string()) +
                                   " " + shellQuote((ae / (name + ".wl")).string()) + " 2>&1")
                                .exitStatus == 0;
        }
        peer = std::make_unique<DcmtkPeer>("wlmscpfs",
                                           std::vector<std::string>{"-dfp", dir->path().string()},
                                           dir->path().string());
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
