#include "Find.h"

#include "Association.h"
#include "DimseScript.h"
#include "LogFixture.h"
#include "ScriptedPeer.h"

#include <gtest/gtest.h>

using Peer = ScriptedPeer;
using namespace dimsescript;

namespace {

std::vector<std::string> keysAndVRs(const DcmObj& identifier) {
    std::vector<std::string> out;
    for (int i = 0; i < identifier.Count(); ++i)
        out.push_back(identifier.KeyAt(i) + " " + identifier.TagAt(i)->vr);
    return out;
}

// A response identifier decoded as the association service decodes it (implicit VR).
void decode(const std::vector<uint8_t>& bytes, DcmObj& dataSet) {
    BufData decoder(0, bytes.data(), bytes.size());
    ASSERT_TRUE(decoder.ReadObject(dataSet));
}

class FindTest : public LogFixture {
protected:
    // An association with the scripted peer, the request already sent from a study query
    // whose only key is a patient name.
    void query(Peer& peer, int timeout = 5) {
        ASSERT_TRUE(OpenAssociation(service, {.callingTitle = "local",
                                              .calledTitle = "remote",
                                              .host = "127.0.0.1",
                                              .port = peer.PortText(),
                                              .abstractSyntax = StudyRootFindSopClass,
                                              .timeoutSeconds = timeout}));
        FindList list{StudyInfo{}};
        std::get<StudyInfo>(list[0]).PatientsName = "Doe*";
        ASSERT_TRUE(WriteFindRQ(service, list, StudyRootFindSopClass, "STUDY"));
    }
    // The identifier query() sends.
    static void studyQuery(DcmObj& identifier) {
        StudyInfo q;
        q.PatientsName = "Doe*";
        BuildStudyQuery(q, identifier);
    }
    static std::size_t studyQuerySize() {
        DcmObj identifier;
        studyQuery(identifier);
        return encode(identifier).size();
    }
    // Reads as the FIND job does: again only after a pending status.
    int readAll(FindList& results) {
        int status;
        do
            status = ReadFindRSP(service, results, "STUDY", &reason);
        while (IsFindPending(status));
        return status;
    }
    // Why the query failed.
    std::string reason;
    // The whole query against the peer's script, then the release: the records read.
    FindList run(Peer& peer, int finalStatus) {
        query(peer);
        FindList results;
        EXPECT_EQ(readAll(results), finalStatus);
        service.Close();
        EXPECT_TRUE(peer.Finish()) << peer.Failure();
        return results;
    }
    PDU_Service service;
};

} // namespace

TEST(StudyQuery, OnlyPatientNameGivesFifteenElementsByteExact) {
    StudyInfo q;
    q.PatientsName = "Doe^John";
    DcmObj identifier;
    BuildStudyQuery(q, identifier);
    ASSERT_EQ(identifier.Count(), 15);
    EXPECT_EQ(keysAndVRs(identifier),
              (std::vector<std::string>{"(0008,0020) DA", "(0008,0030) TM", "(0008,0050) SH",
                                        "(0008,0052) CS", "(0008,0061) CS", "(0008,0080) LO",
                                        "(0008,0090) PN", "(0008,1030) LO", "(0010,0010) PN",
                                        "(0010,0020) LO", "(0010,0030) DA", "(0010,0040) CS",
                                        "(0010,4000) LT", "(0020,000D) UI", "(0020,0010) SH"}));
    EXPECT_EQ(encode(identifier), hexBytes(R"(
        08 00 20 00 00 00 00 00                              // Study Date, universal
        08 00 30 00 00 00 00 00                              // Study Time
        08 00 50 00 00 00 00 00                              // Accession Number
        08 00 52 00 06 00 00 00 53 54 55 44 59 20            // "STUDY "
        08 00 61 00 00 00 00 00                              // Modalities in Study
        08 00 80 00 00 00 00 00                              // Institution Name
        08 00 90 00 00 00 00 00                              // Referring Physician
        08 00 30 10 00 00 00 00                              // Study Description
        10 00 10 00 08 00 00 00 44 6F 65 5E 4A 6F 68 6E      // "Doe^John"
        10 00 20 00 00 00 00 00                              // Patient ID
        10 00 30 00 00 00 00 00                              // Birth Date
        10 00 40 00 00 00 00 00                              // Sex
        10 00 00 40 00 00 00 00                              // Patient Comments
        20 00 0D 00 00 00 00 00                              // Study Instance UID
        20 00 10 00 00 00 00 00                              // Study ID
    )"));
}

TEST(StudyQuery, OddValuesArePaddedByTheirVR) {
    StudyInfo q;
    q.PatientsName = "Doe";
    q.StudyInstanceUID = "1.2.3";
    q.StudyDate = "20240101-";
    DcmObj identifier;
    BuildStudyQuery(q, identifier);
    EXPECT_EQ(identifier.TagAt(0)->length, 10u);
    EXPECT_EQ(identifier.TagAt(0)->data[9], ' ');
    EXPECT_EQ(identifier.TagAt(8)->length, 4u);
    EXPECT_EQ(identifier.TagAt(8)->data[3], ' ');
    EXPECT_EQ(identifier.TagAt(13)->length, 6u);
    EXPECT_EQ(identifier.TagAt(13)->data[5], 0);
}

TEST(SeriesAndImageQueries, ElementsInTheirOrderWithTheLevel) {
    SeriesInfo s;
    s.Modality = "CT";
    DcmObj series;
    BuildSeriesQuery(s, series);
    EXPECT_EQ(keysAndVRs(series),
              (std::vector<std::string>{"(0008,0021) DA", "(0008,0031) TM", "(0008,0052) CS",
                                        "(0008,0060) CS", "(0008,0080) CS", "(0008,103E) LO",
                                        "(0008,1070) PN", "(0018,0015) CS", "(0018,1030) LO",
                                        "(0018,5100) CS", "(0020,000D) UI", "(0020,000E) UI",
                                        "(0020,0011) IS"}));
    EXPECT_EQ(series.GetString(0x0008, 0x0052), "SERIES");
    EXPECT_EQ(series.GetString(0x0008, 0x0060), "CT");

    ImageInfo i;
    i.Rows = 512;
    DcmObj image;
    BuildImageQuery(i, image);
    EXPECT_EQ(keysAndVRs(image),
              (std::vector<std::string>{"(0008,0016) UI", "(0008,0018) UI", "(0008,0022) DA",
                                        "(0008,0023) DA", "(0008,0032) TM", "(0008,0033) TM",
                                        "(0008,0052) CS", "(0020,000D) UI", "(0020,000E) UI",
                                        "(0020,0012) IS", "(0020,0013) IS", "(0028,0010) US",
                                        "(0028,0011) US"}));
    EXPECT_EQ(image.GetString(0x0008, 0x0052), "IMAGE");
    EXPECT_EQ(image.GetTag(0x0028, 0x0010)->length, 0u);
}

TEST(Readers, SeriesAndImageFieldsNumbersAndDepth) {
    DcmObj series;
    decode(identifierOf({{0x0008, 0x0060, "MR"},
                         {0x0018, 0x0015, " HEAD "},
                         {0x0020, 0x000E, "1.2.3"},
                         {0x0020, 0x0011, "7"}}),
           series);
    SeriesInfo s;
    ReadSeriesInfo(s, series);
    EXPECT_EQ(s.Modality, "MR");
    EXPECT_EQ(s.BodyPartExamined, "HEAD");
    EXPECT_EQ(s.SeriesInstanceUID, "1.2.3");
    EXPECT_EQ(s.SeriesNumber, "7");

    // A stray sequence delimiter does not hide what follows from the image reader.
    std::vector<uint8_t> bytes = hexBytes(R"(
        08 00 08 00 0E 00 00 00 4F 52 49 47 49 4E 41 4C 5C 50 52 49 4D 41   // Image Type
        28 00 02 00 02 00 00 00 03 00                                        // Samples 3
        28 00 08 00 02 00 00 00 31 32                                        // Frames "12"
        FE FF DD E0 00 00 00 00                                              // stray delimiter
        28 00 10 00 02 00 00 00 00 02                                        // Rows 512
        28 00 11 00 02 00 00 00 00 01                                        // Columns 256
        28 00 01 01 02 00 00 00 10 00                                        // Bits 16
    )");
    DcmObj image;
    decode(bytes, image);
    ImageInfo i;
    ReadImageInfo(i, image);
    EXPECT_EQ(i.ImageType, "ORIGINAL\\PRIMA");
    EXPECT_EQ(i.SamplesPerPixel, 3);
    EXPECT_EQ(i.NumberOfFrames, "12");
    EXPECT_EQ(i.Rows, 512);
    EXPECT_EQ(i.Columns, 256);
    EXPECT_EQ(i.BitsAllocated, 16);
}

TEST_F(FindTest, CommandSetAndIdentifierAreByteExact) {
    Peer peer(queryScript(StudyRootFindSopClass, studyQuerySize(),
                          findResponse(StudyRootFindSopClass, 0, nullptr)));
    query(peer);
    FindList results;
    EXPECT_EQ(readAll(results), 0);
    EXPECT_TRUE(results.empty());
    service.Close();
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
    const std::vector<uint8_t>& got = peer.Received();
    std::size_t at = associateRequestSize(StudyRootFindSopClass);
    std::vector<uint8_t> command(got.begin() + at, got.begin() + at + 100);
    EXPECT_EQ(command, hexBytes(R"(
        04 00 00 00 00 5E  00 00 00 5A 01 03                  // P-DATA-TF, last command PDV
        00 00 00 00 04 00 00 00 4C 00 00 00                   // group length 76
        00 00 02 00 1C 00 00 00 31 2E 32 2E 38 34 30 2E 31 30 30 30 38 2E
        35 2E 31 2E 34 2E 31 2E 32 2E 32 2E 31 00             // Study Root FIND, zero padded
        00 00 00 01 02 00 00 00 20 00                         // C-FIND-RQ
        00 00 10 01 02 00 00 00 03 00                         // message ID 3
        00 00 00 07 02 00 00 00 00 00                         // priority medium
        00 00 00 08 02 00 00 00 02 01                         // a data set follows
    )"));
    std::vector<uint8_t> data(got.begin() + at + 100, got.end() - ReleaseSize);
    EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.begin() + 12),
              hexBytes("04 00 00 00 00 88 00 00 00 84 01 02"));
    DcmObj expected;
    studyQuery(expected);
    EXPECT_EQ(std::vector<uint8_t>(data.begin() + 12, data.end()), encode(expected));
}

TEST_F(FindTest, EmptyIdentifierIsNotSent) {
    Peer peer({Peer::Expect(associateRequestSize(StudyRootFindSopClass)), Peer::Send(acceptPdu()),
               Peer::Expect(findCommandPduSize(StudyRootFindSopClass)), Peer::Expect(ReleaseSize),
               Peer::Send(releaseReply)});
    ASSERT_TRUE(OpenAssociation(service, {.callingTitle = "local",
                                          .calledTitle = "remote",
                                          .host = "127.0.0.1",
                                          .port = peer.PortText(),
                                          .abstractSyntax = StudyRootFindSopClass,
                                          .timeoutSeconds = 5}));
    FindList list{StudyInfo{}};
    EXPECT_TRUE(WriteFindRQ(service, list, StudyRootFindSopClass, "PATIENT"));
    EXPECT_EQ(list.size(), 1u);
    service.Close();
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
    const std::vector<uint8_t>& got = peer.Received();
    EXPECT_EQ(std::vector<uint8_t>(got.end() - ReleaseSize, got.end()),
              hexBytes("05 00 00 00 00 04 00 00 00 00"));
}

TEST_F(FindTest, PendingResponsesAddOneRecordEachInArrivalOrder) {
    std::vector<uint8_t> first = identifierOf({{0x0008, 0x0020, "20240101"},
                                               {0x0008, 0x0060, "CT"},
                                               {0x0010, 0x0010, "Doe^Jane"},
                                               {0x0010, 0x0020, " P1 "},
                                               {0x0020, 0x000D, "1.2.3.4"}});
    std::vector<uint8_t> second = identifierOf(
        {{0x0008, 0x0061, "MR\\CT"}, {0x0010, 0x0010, "Doe^John"}, {0x0010, 0x0040, ""}});
    Peer peer(queryScript(StudyRootFindSopClass, studyQuerySize(),
                          concat(findResponse(StudyRootFindSopClass, 0xFF00, &first),
                                 // Pending, but says no data set follows: an empty record.
                                 findResponse(StudyRootFindSopClass, 0xFF01, nullptr),
                                 findResponse(StudyRootFindSopClass, 0xFF01, &second),
                                 // A final success that carries a data set adds nothing.
                                 findResponse(StudyRootFindSopClass, 0, &second))));
    FindList results = run(peer, 0);
    ASSERT_EQ(results.size(), 3u);
    const StudyInfo& a = std::get<StudyInfo>(results[0]);
    EXPECT_EQ(a.StudyDate, "20240101");
    EXPECT_EQ(a.ModalitiesInStudy, "CT");
    EXPECT_EQ(a.PatientsName, "Doe^Jane");
    EXPECT_EQ(a.PatientID, "P1");
    EXPECT_EQ(a.StudyInstanceUID, "1.2.3.4");
    const StudyInfo& b = std::get<StudyInfo>(results[1]);
    EXPECT_EQ(b.PatientsName, "");
    EXPECT_EQ(b.StudyInstanceUID, "");
    const StudyInfo& c = std::get<StudyInfo>(results[2]);
    EXPECT_EQ(c.ModalitiesInStudy, "MR\\CT");
    EXPECT_EQ(c.PatientsName, "Doe^John");
}

TEST_F(FindTest, OverLongValuesAreLoggedWholeAndCut) {
    std::string name(70, 'N');
    std::string accession = "ACC-0123456789-XYZ"; // 18
    std::string studyId = "STUDY-0123456789";     // 16: kept
    std::string longStudyId = studyId + "AB";
    std::vector<uint8_t> id = identifierOf({{0x0008, 0x0050, accession},
                                            {0x0008, 0x0080, std::string(65, 'I')},
                                            {0x0008, 0x1030, std::string(66, 'D')},
                                            {0x0008, 0x1070, std::string(64, 'O')},
                                            {0x0010, 0x0010, name},
                                            {0x0020, 0x0010, longStudyId}});
    Peer peer(queryScript(StudyRootFindSopClass, studyQuerySize(),
                          concat(findResponse(StudyRootFindSopClass, 0xFF00, &id),
                                 findResponse(StudyRootFindSopClass, 0, nullptr))));
    FindList results = run(peer, 0);
    ASSERT_EQ(results.size(), 1u);
    const StudyInfo& s = std::get<StudyInfo>(results[0]);
    EXPECT_EQ(s.PatientsName, name.substr(0, 64));
    EXPECT_EQ(s.AccessionNumber, accession.substr(0, 16));
    EXPECT_EQ(s.InstitutionName, std::string(64, 'I'));
    EXPECT_EQ(s.StudyDescription, std::string(64, 'D'));
    EXPECT_EQ(s.OperatorsName, std::string(64, 'O'));
    EXPECT_EQ(s.StudyID, studyId);
    EXPECT_TRUE(logged("WARNING, PatientName length>64, " + name + "\r\n"));
    EXPECT_TRUE(logged("WARNING, Accession number length>16, " + accession + "\r\n"));
    EXPECT_TRUE(logged("WARNING, InstitutionName length>64, " + std::string(65, 'I') + "\r\n"));
    EXPECT_TRUE(logged("WARNING, StudyDescription length>64, " + std::string(66, 'D') + "\r\n"));
    EXPECT_FALSE(logged("Operators Name"));
    EXPECT_FALSE(logged(longStudyId));
}

TEST_F(FindTest, ElementsInsideAnUndefinedLengthSequenceAreNotTopLevel) {
    std::vector<uint8_t> id = hexBytes(R"(
        10 00 10 00 08 00 00 00 54 6F 70 5E 4E 61 6D 65      // (0010,0010) "Top^Name"
        10 00 02 10 FF FF FF FF                              // (0010,1002) SQ, undefined
        FE FF 00 E0 FF FF FF FF                              // item, undefined
        10 00 10 00 06 00 00 00 49 6E 6E 65 72 20            // (0010,0010) "Inner"
        10 00 20 00 02 00 00 00 49 44                        // (0010,0020) "ID"
        FE FF 0D E0 00 00 00 00                              // item delimiter
        FE FF DD E0 00 00 00 00                              // sequence delimiter
        20 00 0D 00 04 00 00 00 31 2E 32 00                  // back at the top: "1.2"
    )");
    Peer peer(queryScript(StudyRootFindSopClass, studyQuerySize(),
                          concat(findResponse(StudyRootFindSopClass, 0xFF00, &id),
                                 findResponse(StudyRootFindSopClass, 0, nullptr))));
    FindList results = run(peer, 0);
    ASSERT_EQ(results.size(), 1u);
    const StudyInfo& s = std::get<StudyInfo>(results[0]);
    EXPECT_EQ(s.PatientsName, "Top^Name");
    EXPECT_EQ(s.PatientID, "");
    EXPECT_EQ(s.StudyInstanceUID, "1.2");
}

// A failure status is final: no record, even with a data set, and no further read (the
// script releases right after it; another read would wait for the time-out).
TEST_F(FindTest, FailureStatusEndsTheQueryWithoutARecord) {
    std::vector<uint8_t> match = identifierOf({{0x0010, 0x0010, "Doe^Jane"}});
    std::vector<uint8_t> error = identifierOf({{0x0010, 0x0010, "Not^Counted"}});
    Peer peer(queryScript(StudyRootFindSopClass, studyQuerySize(),
                          concat(findResponse(StudyRootFindSopClass, 0xFF00, &match),
                                 findResponse(StudyRootFindSopClass, 0xA700, &error))));
    query(peer, 30);
    FindList results;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(readAll(results), 0xA700);
    EXPECT_EQ(reason, "C-FIND refused: 0xA700 out of resources");
    service.Close();
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(std::get<StudyInfo>(results[0]).PatientsName, "Doe^Jane");
}

TEST_F(FindTest, ResponseThatNeverComesTimesOut) {
    std::vector<Peer::Step> steps = queryScript(StudyRootFindSopClass, studyQuerySize(), {}, false);
    steps.push_back(Peer::Silent(std::chrono::milliseconds(3000)));
    Peer peer(steps);
    query(peer, 1);
    FindList results;
    EXPECT_EQ(ReadFindRSP(service, results, "STUDY", &reason), -1);
    EXPECT_EQ(reason, "awaiting the C-FIND-RSP: no answer within 1 s");
    EXPECT_TRUE(results.empty());
    service.Close();
    peer.Finish();
    EXPECT_TRUE(logged("ERROR, Socket::ReadBinary, Timed out\r\n"));
    EXPECT_TRUE(logged("ERROR, CFind::ReadRSP, PDU->Read Failed!\r\n"));
}

TEST_F(FindTest, WrongCommandAndMissingStatusAreReadFailures) {
    std::unique_ptr<DcmObj> echo = CommandSet()
                                       .Uid(0x0002, StudyRootFindSopClass)
                                       .UShort(0x0100, 0x8030)
                                       .UShort(0x0800, 0x0101)
                                       .UShort(0x0900, 0)
                                       .Build();
    std::unique_ptr<DcmObj> noStatus = CommandSet()
                                           .Uid(0x0002, StudyRootFindSopClass)
                                           .UShort(0x0100, 0x8020)
                                           .UShort(0x0800, 0x0101)
                                           .Build();
    Peer peer(queryScript(
        StudyRootFindSopClass, studyQuerySize(),
        {Peer::Send(pdata(3, encode(*echo))), Peer::Send(pdata(3, encode(*noStatus)))}));
    query(peer);
    FindList results;
    EXPECT_EQ(ReadFindRSP(service, results, "STUDY", &reason), -1);
    EXPECT_TRUE(logged("ERROR, CFind::ReadRSP, DCO not C-Find\r\n"));
    EXPECT_EQ(reason, "C-FIND: the peer answered with another message than a C-FIND-RSP");
    reason.clear();
    EXPECT_EQ(ReadFindRSP(service, results, "STUDY", &reason), -1);
    EXPECT_TRUE(logged("ERROR, CFind::ReadRSP, no Status\r\n"));
    EXPECT_EQ(reason, "C-FIND: the C-FIND-RSP holds no status");
    EXPECT_TRUE(results.empty());
    service.Close();
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
}
