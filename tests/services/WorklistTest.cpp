#include "Worklist.h"

#include "Association.h"
#include "DimseScript.h"
#include "Find.h"
#include "LogFixture.h"
#include "ScriptedPeer.h"

#include <gtest/gtest.h>

using Peer = ScriptedPeer;
using namespace dimsescript;

namespace {

std::unique_ptr<DcmObj> itemOf(const std::vector<Text>& elements) {
    auto item = std::make_unique<DcmObj>();
    for (const Text& t : elements)
        item->AddString(t.group, t.element, t.value);
    return item;
}

// A response identifier: top-level elements, then a step sequence (defined length, as
// encoded) with the given items, then more top-level elements.
std::vector<uint8_t> responseWithSteps(const std::vector<Text>& before,
                                       std::vector<std::unique_ptr<DcmObj>> steps,
                                       const std::vector<Text>& after = {}) {
    DcmObj identifier;
    for (const Text& t : before)
        identifier.Append(std::make_unique<DcmTag>(t.group, t.element, t.value, nullptr));
    auto sequence = std::make_unique<DcmObj>();
    for (auto& step : steps)
        sequence->AddSequence(0xFFFE, 0xE000, std::move(step));
    identifier.AddSequence(0x0040, 0x0100, std::move(sequence));
    for (const Text& t : after)
        identifier.Append(std::make_unique<DcmTag>(t.group, t.element, t.value, nullptr));
    return encode(identifier);
}

TWorklistItem readItem(const std::vector<uint8_t>& bytes) {
    DcmObj dataSet;
    BufData decoder(0, bytes.data(), bytes.size());
    EXPECT_TRUE(decoder.ReadObject(dataSet));
    TWorklistItem item;
    ReadWorklistItem(item, dataSet);
    return item;
}

} // namespace

TEST(WorklistQuery, OnlyModalityGivesElevenTopLevelElementsByteExact) {
    TWorklistItem q;
    q.Modality = "CT";
    DcmObj identifier;
    BuildWorklistQuery(q, identifier);
    ASSERT_EQ(identifier.Count(), 11);
    const DcmObj* sequence = identifier.ObjAt(8);
    ASSERT_NE(sequence, nullptr);
    ASSERT_EQ(sequence->Count(), 1);
    ASSERT_NE(sequence->ObjAt(0), nullptr);
    EXPECT_EQ(sequence->ObjAt(0)->Count(), 12);
    EXPECT_EQ(encode(identifier), hexBytes(R"(
        08 00 50 00 00 00 00 00              // Accession Number
        08 00 90 00 00 00 00 00              // Referring Physician's Name
        10 00 10 00 00 00 00 00              // Patient's Name
        10 00 20 00 00 00 00 00              // Patient ID
        10 00 30 00 00 00 00 00              // Birth Date
        10 00 40 00 00 00 00 00              // Sex
        20 00 0D 00 00 00 00 00              // Study Instance UID
        32 00 60 10 00 00 00 00              // Requested Procedure Description
        40 00 00 01 6A 00 00 00              // Scheduled Procedure Step Sequence, 106
        FE FF 00 E0 62 00 00 00              //   its one item, 98
        08 00 60 00 02 00 00 00 43 54        //     Modality "CT"
        32 00 70 10 00 00 00 00              //     Requested Contrast Agent
        40 00 01 00 00 00 00 00              //     Scheduled Station AE Title
        40 00 02 00 00 00 00 00              //     Start Date
        40 00 03 00 00 00 00 00              //     Start Time
        40 00 06 00 00 00 00 00              //     Performing Physician
        40 00 07 00 00 00 00 00              //     Step Description
        40 00 09 00 00 00 00 00              //     Step ID
        40 00 10 00 00 00 00 00              //     Station Name
        40 00 11 00 00 00 00 00              //     Step Location
        40 00 12 00 00 00 00 00              //     Pre-Medication
        40 00 20 00 00 00 00 00              //     Step Status
        40 00 01 10 00 00 00 00              // Requested Procedure ID
        40 00 03 10 00 00 00 00              // Requested Procedure Priority
    )"));
    // Encoding again gives the same bytes: the lengths are computed afresh each time.
    EXPECT_EQ(encode(identifier).size(), 8u * 10 + 8 + 8 + 98);
}

TEST(WorklistQuery, FilterFieldsGoToTheirKeys) {
    TWorklistItem q;
    q.PatientsName = "Doe*";
    q.AccessionNumber = "A1";
    q.ScheduledProcedureStepStartDate = "20240101-20240131";
    DcmObj identifier;
    BuildWorklistQuery(q, identifier);
    EXPECT_EQ(identifier.GetString(0x0010, 0x0010), "Doe*");
    EXPECT_EQ(identifier.GetString(0x0008, 0x0050), "A1");
    const DcmObj* step = identifier.ObjAt(8)->ObjAt(0);
    EXPECT_EQ(step->GetString(0x0040, 0x0002), "20240101-20240131");
    EXPECT_EQ(step->GetString(0x0008, 0x0060), "");
}

TEST(WorklistRead, NestedItemsFillTheSameRecordAndTheLastOccurrenceWins) {
    std::vector<std::unique_ptr<DcmObj>> steps;
    steps.push_back(itemOf({{0x0008, 0x0060, "CT"}, {0x0040, 0x0001, "FIRST"}}));
    steps.push_back(itemOf({{0x0008, 0x0060, "MR"}, {0x0010, 0x0010, "Inner^Name"}}));
    TWorklistItem item =
        readItem(responseWithSteps({{0x0008, 0x0050, "ACC1"}, {0x0010, 0x0010, "Top^Name"}},
                                   std::move(steps), {{0x0040, 0x1001, "RP1"}}));
    EXPECT_EQ(item.AccessionNumber, "ACC1");
    EXPECT_EQ(item.Modality, "MR");
    EXPECT_EQ(item.ScheduledStationAETitle, "FIRST");
    EXPECT_EQ(item.PatientsName, "Inner^Name");
    EXPECT_EQ(item.RequestedProcedureID, "RP1");

    // Zero-length elements leave their fields as a new item has them.
    TWorklistItem empty = readItem(identifierOf({{0x0010, 0x0010, ""}, {0x0010, 0x0020, ""}}));
    EXPECT_EQ(empty.PatientsName, "");
    EXPECT_EQ(empty.PatientID, "");
}

TEST(WorklistRead, FlatSequencesOfUndefinedLengthAreReadToo) {
    TWorklistItem item = readItem(hexBytes(R"(
        10 00 10 00 04 00 00 00 44 6F 65 20      // (0010,0010) "Doe"
        40 00 00 01 FF FF FF FF                  // step sequence, undefined length
        FE FF 00 E0 FF FF FF FF
        08 00 60 00 02 00 00 00 55 53            // Modality "US"
        40 00 02 00 08 00 00 00 32 30 32 34 30 33 30 31
        FE FF 0D E0 00 00 00 00
        FE FF DD E0 00 00 00 00
        32 00 32 10 04 00 00 00 52 65 71 20      // Requesting Physician "Req"
        10 00 10 21 04 00 00 00 4E 6F 6E 65      // Contrast Allergies "None"
    )"));
    EXPECT_EQ(item.PatientsName, "Doe");
    EXPECT_EQ(item.Modality, "US");
    EXPECT_EQ(item.ScheduledProcedureStepStartDate, "20240301");
    EXPECT_EQ(item.RequestingPhysician, "Req");
    EXPECT_EQ(item.ContrastAllergies, "None");
}

class WorklistExchange : public LogFixture {};

TEST_F(WorklistExchange, ResponseWithTwoStepItemsTakesTheSecond) {
    TWorklistItem q;
    DcmObj query;
    BuildWorklistQuery(q, query);
    std::vector<std::unique_ptr<DcmObj>> steps;
    steps.push_back(itemOf({{0x0008, 0x0060, "CT"}, {0x0040, 0x0002, "20240301"}}));
    steps.push_back(itemOf({{0x0008, 0x0060, "MR"}, {0x0040, 0x0002, "20240302"}}));
    std::vector<uint8_t> match =
        responseWithSteps({{0x0010, 0x0010, "Doe^John"}}, std::move(steps));
    Peer peer(queryScript(WorklistFindSopClass, encode(query).size(),
                          concat(findResponse(WorklistFindSopClass, 0xFF00, &match),
                                 findResponse(WorklistFindSopClass, 0, nullptr))));
    PDU_Service service;
    ASSERT_TRUE(OpenAssociation(service, {.callingTitle = "local",
                                          .calledTitle = "remote",
                                          .host = "127.0.0.1",
                                          .port = peer.PortText(),
                                          .abstractSyntax = WorklistFindSopClass,
                                          .timeoutSeconds = 5}));
    ASSERT_TRUE(CFind::WriteRQ(service, query, WorklistFindSopClass));
    DcmObj response;
    ASSERT_EQ(CFind::ReadRSP(service, response), 0xFF00);
    TWorklistItem item;
    ReadWorklistItem(item, response);
    EXPECT_EQ(item.PatientsName, "Doe^John");
    EXPECT_EQ(item.Modality, "MR");
    EXPECT_EQ(item.ScheduledProcedureStepStartDate, "20240302");
    response.Clear();
    EXPECT_EQ(CFind::ReadRSP(service, response), 0);
    service.Close();
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
}
