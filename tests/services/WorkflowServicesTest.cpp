// The data sets of the workflow services, read back by DCMTK, and the commitment report read
// in both sequence encodings.

#include "Commitment.h"
#include "DcmtkPeer.h"
#include "DicomFileWriter.h"
#include "Mpps.h"
#include "ReactiveDimsePeer.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using testsupport::runCommand;
using testsupport::shellQuote;
using testsupport::TempDir;

namespace {

// dcmdump's lines of the data set written as a file, without the meta group.
std::string dumped(DcmObj& dataSet) {
    if (!testsupport::havePeers({"dcmdump"}))
        return {};
    TempDir dir;
    testsupport::writeDicomFile(dir.file("ds.dcm"), dataSet);
    return runCommand("dcmdump -q " + shellQuote(dir.file("ds.dcm").string()) + " 2>&1").output;
}

void marker(DcmObj& obj, uint16_t group, uint16_t element, uint32_t length, const char* vr) {
    obj.Append(std::make_unique<DcmTag>(group, element, length, nullptr, vr));
}

TWorklistItem knee() {
    TWorklistItem item;
    item.PatientsName = "Roe^Jane";
    item.PatientID = "PID772";
    item.AccessionNumber = "ACC772";
    item.StudyInstanceUID = "1.2.826.0.1.3680043.2.1143.772";
    item.Modality = "MR";
    item.ScheduledProcedureStepID = "SPS772";
    item.ScheduledProcedureStepDescription = "Knee left";
    item.RequestedProcedureID = "RP772";
    return item;
}

} // namespace

// The step's attributes sit where the standard puts them; DCMTK reads the whole data set.
TEST(WorkflowServices, MppsDataSetsAsDcmtkReadsThem) {
    DcmObj create;
    BuildMppsInProgress(knee(), {"VESKARO", "20261209", "153000", "PPS1"}, create);
    std::string text = dumped(create);
    if (text.empty())
        GTEST_SKIP();
    for (const char* line :
         {"(0010,0010) PN [Roe^Jane]", "(0040,0241) AE [VESKARO]", "(0040,0244) DA [20261209]",
          "(0040,0252) CS [IN PROGRESS]", "(0040,0253) SH [PPS1]", "(0040,0270) SQ",
          "  (0008,0050) SH [ACC772]", "  (0020,000d) UI [1.2.826.0.1.3680043.2.1143.772]",
          "  (0040,0009) SH [SPS772]", "  (0040,1001) SH [RP772]", "(0040,0340) SQ (Sequence"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;

    DcmObj final;
    std::vector<StoredInstance> instances = {
        {"a", "1.2.840.10008.5.1.4.1.1.4", "1.2.3.1", "1.2.3.100", "1.2.3"},
        {"b", "1.2.840.10008.5.1.4.1.1.4", "1.2.3.2", "1.2.3.100", "1.2.3"},
        {"c", "1.2.840.10008.5.1.4.1.1.481.5", "1.2.3.3", "1.2.3.200", "1.2.3"}};
    BuildMppsFinal("COMPLETED", "20261209", "160000", instances, final);
    text = dumped(final);
    EXPECT_NE(text.find("(0040,0252) CS [COMPLETED]"), std::string::npos) << text;
    // Two series: the images of the first in the image sequence, the plan in the other.
    EXPECT_EQ(text.find("(0020,000e) UI [1.2.3.100]") != std::string::npos &&
                  text.find("(0020,000e) UI [1.2.3.200]") != std::string::npos,
              true)
        << text;
    std::size_t images = text.find("(0008,1140) SQ");
    std::size_t plan = text.find("(0008,1155) UI [1.2.3.3]");
    ASSERT_NE(images, std::string::npos);
    EXPECT_NE(text.find("(0008,1155) UI [1.2.3.2]", images), std::string::npos);
    EXPECT_GT(plan, text.find("(0040,0220) SQ"));

    DcmObj request;
    BuildCommitmentRequest("1.2.3.9", instances, request);
    text = dumped(request);
    EXPECT_NE(text.find("(0008,1195) UI [1.2.3.9]"), std::string::npos) << text;
    EXPECT_NE(text.find("    (0008,1155) UI [1.2.3.3]"), std::string::npos) << text;
}

// A report whose committed list is nested (defined length) and whose failed list is flat
// (undefined length, with delimiters): both are read, with the failure reason.
TEST(WorkflowServices, CommitmentReportInEitherSequenceForm) {
    DcmObj report;
    report.AddString(0x0008, 0x1195, "1.2.3.9");
    marker(report, 0x0008, 0x1198, UndefinedLength, "SQ");
    marker(report, 0xFFFE, 0xE000, UndefinedLength, nullptr);
    report.Append(
        std::make_unique<DcmTag>(0x0008, 0x1150, std::string("1.2.840.10008.5.1.4.1.1.4"), "UI"));
    report.Append(std::make_unique<DcmTag>(0x0008, 0x1155, std::string("1.2.3.2"), "UI"));
    report.Append(std::make_unique<DcmTag>(0x0008, 0x1197, uint16_t{0x0112}, "US"));
    marker(report, 0xFFFE, 0xE00D, 0, nullptr);
    marker(report, 0xFFFE, 0xE0DD, 0, nullptr);
    auto item = std::make_unique<DcmObj>();
    item->AddString(0x0008, 0x1150, "1.2.840.10008.5.1.4.1.1.4");
    item->AddString(0x0008, 0x1155, "1.2.3.1");
    auto committed = std::make_unique<DcmObj>();
    committed->AddSequence(0xFFFE, 0xE000, std::move(item));
    report.AddSequence(0x0008, 0x1199, std::move(committed));

    CommitmentOutcome outcome;
    ReadCommitmentReport(report, outcome);
    EXPECT_EQ(outcome.TransactionUID, "1.2.3.9");
    ASSERT_EQ(outcome.Committed.size(), 1u);
    EXPECT_EQ(outcome.Committed[0].SopInstanceUID, "1.2.3.1");
    ASSERT_EQ(outcome.Failed.size(), 1u);
    EXPECT_EQ(outcome.Failed[0].SopInstanceUID, "1.2.3.2");
    EXPECT_EQ(outcome.Failed[0].FailureReason, 0x0112);
}

// A peer that sends its report in the same write as the N-ACTION-RSP: the report is already in
// our buffer when the wait begins, and must be taken from there rather than waited for.
TEST(WorkflowServices, CommitmentReportBehindTheActionResponseIsTaken) {
    using namespace dimsescript;
    std::vector<StoredInstance> instances{
        {"a.dcm", "1.2.840.10008.5.1.4.1.1.4", "1.2.3.1", "", ""}};
    DimseHandlers handlers;
    handlers[NCommand::ActionRQ] = [&](const DimseMessage& m) {
        DimseReply reply;
        DcmObj report;
        BuildCommitmentRequest(m.dataSet ? m.dataSet->GetString(0x0008, 0x1195) : "", instances,
                               report);
        std::unique_ptr<DcmObj> event = CommandSet()
                                            .Uid(0x0002, StorageCommitmentSopClass)
                                            .UShort(0x0100, NCommand::EventReportRQ)
                                            .UShort(0x0110, 7)
                                            .UShort(0x0800, 0x0102)
                                            .Uid(0x1000, StorageCommitmentInstance)
                                            .UShort(0x1002, 1)
                                            .Build();
        reply.then = {pdata(3, encode(*event), m.context), pdata(2, encode(report), m.context)};
        return reply;
    };
    ReactiveDimsePeer peer(std::move(handlers));
    ServicePeer target{"local", "remote", "127.0.0.1", peer.PortText(), 5, {}};

    CommitmentOutcome outcome = RequestStorageCommitment(target, instances, 0, 3);
    const std::vector<DimseMessage>& received = peer.Finish();
    EXPECT_TRUE(outcome.Reported) << outcome.Reason;
    EXPECT_EQ(outcome.ReportedOn, "same association");
    ASSERT_EQ(outcome.Committed.size(), 1u);
    EXPECT_EQ(outcome.Committed[0].SopInstanceUID, "1.2.3.1");
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[1].field(), NCommand::EventReportRSP);
}

// N-CREATE and N-SET as the peer receives them, the instance the peer chose kept, a warning
// taken as done, and a refusal with its status and comment.
TEST(WorkflowServices, MppsRequestsAndAnswers) {
    using namespace dimsescript;
    int sets = 0;
    DimseHandlers handlers;
    handlers[NCommand::CreateRQ] = [](const DimseMessage&) {
        DimseReply reply;
        reply.affectedInstance = "1.2.3.777";
        return reply;
    };
    handlers[NCommand::SetRQ] = [&](const DimseMessage&) {
        DimseReply reply;
        reply.status = ++sets == 1 ? 0x0116 : 0x0110;
        reply.errorComment = sets == 1 ? "End time out of range" : "No such step";
        return reply;
    };
    ReactiveDimsePeer peer(std::move(handlers), nullptr, 3);
    ServicePeer target{"local", "remote", "127.0.0.1", peer.PortText(), 5, {}};

    DcmObj created;
    BuildMppsInProgress(knee(), {"VESKARO", "20240305", "101500", "PPS1"}, created);
    MppsResult create = MppsCreate(target, created);
    EXPECT_TRUE(create.Ok) << create.Reason;
    EXPECT_EQ(create.InstanceUID, "1.2.3.777");
    DcmObj completed;
    BuildMppsFinal("COMPLETED", "20240305", "103000", {}, completed);
    MppsResult set = MppsSet(target, create.InstanceUID, completed);
    EXPECT_TRUE(set.Ok) << set.Reason;
    EXPECT_EQ(set.Warning, "N-SET answered with status 0116: End time out of range");
    MppsResult refused = MppsSet(target, create.InstanceUID, completed);
    EXPECT_FALSE(refused.Ok);
    EXPECT_EQ(refused.Reason, "N-SET answered with status 0110: No such step");

    const std::vector<DimseMessage>& received = peer.Finish();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0].field(), NCommand::CreateRQ);
    EXPECT_EQ(received[0].sopClass(), MppsSopClass);
    EXPECT_FALSE(received[0].command->GetString(0x0000, 0x1000).empty())
        << "N-CREATE proposes an instance";
    ASSERT_NE(received[0].dataSet, nullptr);
    EXPECT_EQ(received[0].dataSet->GetString(0x0040, 0x0252), "IN PROGRESS");
    EXPECT_EQ(received[0].dataSet->GetString(0x0010, 0x0020), "PID772");
    EXPECT_EQ(received[1].field(), NCommand::SetRQ);
    EXPECT_EQ(received[1].command->GetString(0x0000, 0x1001), "1.2.3.777");
    ASSERT_NE(received[1].dataSet, nullptr);
    EXPECT_EQ(received[1].dataSet->GetString(0x0040, 0x0252), "COMPLETED");
    EXPECT_TRUE(peer.Released());
}
