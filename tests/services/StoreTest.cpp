#include "Store.h"
#include "Association.h"
#include "BufData.h"
#include "Diagnosis.h"
#include "DicomFileWriter.h"
#include "DimseScript.h"
#include "LogFixture.h"
#include "ScriptedPeer.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace dimsescript;
using testsupport::writeDicomFile;
using Peer = ScriptedPeer;

namespace {

constexpr const char* CtImage = "1.2.840.10008.5.1.4.1.1.2";
constexpr const char* ComprehensiveSr = "1.2.840.10008.5.1.4.1.1.88.33";
constexpr const char* Jpeg2000Lossless = "1.2.840.10008.1.2.4.90";

std::vector<uint8_t> storeResponse(uint16_t status, uint16_t command = 0x8001,
                                   uint8_t context = 1) {
    std::unique_ptr<DcmObj> rsp = CommandSet()
                                      .Uid(0x0002, CtImage)
                                      .UShort(0x0100, command)
                                      .UShort(0x0120, 3)
                                      .UShort(0x0800, 0x0101)
                                      .UShort(0x0900, status)
                                      .Build();
    return pdata(3, encode(*rsp), context);
}

// The peer's side of one store it accepts with `accepted` on context `id`: the request, the
// command and data set PDUs of these sizes, a success response, then the release (left
// unanswered).
std::vector<Peer::Step> storeScript(std::size_t request, const std::string& accepted,
                                    std::size_t command, std::size_t dataSet, uint8_t id = 1) {
    return {Peer::Expect(request),
            Peer::Send(acceptPduOf({{id, 0, accepted}})),
            Peer::Expect(command),
            Peer::Expect(12 + dataSet),
            Peer::Send(storeResponse(0, 0x8001, id)),
            Peer::Expect(ReleaseSize)};
}

const std::vector<std::vector<std::string>> explicitThenImplicit = {{ExplicitLittleEndian},
                                                                    {ImplicitLittleEndian}};

void setSyntax(DcmObj& dataSet, const std::string& uid) {
    dataSet.transferSyntax = uid;
    dataSet.explicitVR = uid == ImplicitLittleEndian ? 0 : 1;
    dataSet.bigEndian = uid == ExplicitBigEndian ? 1 : 0;
}

void fillReport(DcmObj& sr, const std::string& transferSyntax) {
    setSyntax(sr, transferSyntax);
    sr.AddString(0x0008, 0x0016, ComprehensiveSr);
    sr.AddString(0x0008, 0x0018, "1.2.3.4");
    sr.AddString(0x0010, 0x0010, "Doe^Jane");
    sr.AddString(0x0040, 0xA040, "CONTAINER");
}

// A 4 x 4 16-bit CT image whose samples run 0, 100, 200, ...
void fillCt(DcmObj& ct, const std::string& transferSyntax) {
    setSyntax(ct, transferSyntax);
    ct.AddString(0x0008, 0x0016, CtImage);
    ct.AddString(0x0008, 0x0018, "1.2.3.5");
    ct.AddString(0x0008, 0x0060, "CT");
    ct.Add(std::make_unique<DcmTag>(0x0028, 0x0002, uint16_t{1}, "US"));
    ct.AddString(0x0028, 0x0004, "MONOCHROME2");
    ct.Add(std::make_unique<DcmTag>(0x0028, 0x0010, uint16_t{4}, "US"));
    ct.Add(std::make_unique<DcmTag>(0x0028, 0x0011, uint16_t{4}, "US"));
    ct.Add(std::make_unique<DcmTag>(0x0028, 0x0100, uint16_t{16}, "US"));
    ct.Add(std::make_unique<DcmTag>(0x0028, 0x0101, uint16_t{12}, "US"));
    ct.Add(std::make_unique<DcmTag>(0x0028, 0x0102, uint16_t{11}, "US"));
    ct.Add(std::make_unique<DcmTag>(0x0028, 0x0103, uint16_t{0}, "US"));
    std::vector<uint8_t> pixels;
    for (int i = 0; i < 16; ++i) {
        pixels.push_back((i * 100) & 0xFF);
        pixels.push_back((i * 100) >> 8);
    }
    ct.AddValue(0x7FE0, 0x0010, static_cast<uint32_t>(pixels.size()), pixels.data());
}

class StoreTest : public LogFixture {
protected:
    testsupport::TempDir dir;
    std::string log() const { return logText(); }
    bool logged(const std::string& line) const { return LogFixture::logged(line + "\r\n"); }
    bool store(Peer& peer, const std::string& file, const std::string& chosen, int timeout = 5) {
        reason.clear();
        return StoreSCU("local", "remote", "127.0.0.1", peer.PortText(), dir.file(file).string(),
                        chosen, timeout, false, &reason);
    }
    // Why the last store failed.
    std::string reason;
    // The bytes the peer received after the request, the command PDU and before the release.
    static std::vector<uint8_t> slice(const std::vector<uint8_t>& got, std::size_t from,
                                      std::size_t count) {
        return std::vector<uint8_t>(got.begin() + static_cast<long>(from),
                                    got.begin() + static_cast<long>(from + count));
    }
};

} // namespace

TEST_F(StoreTest, CommandSetWithInstanceUidIsByteExact) {
    DcmObj ct;
    fillCt(ct, ExplicitLittleEndian);
    writeDicomFile(dir.file("ct.dcm"), ct);
    std::size_t rq = requestSizeOf(CtImage, explicitThenImplicit);
    std::vector<uint8_t> dataSet = encode(ct);
    std::vector<Peer::Step> script = storeScript(rq, ExplicitLittleEndian, 114, dataSet.size());
    script.push_back(Peer::Send(releaseReply));
    Peer peer(script);
    EXPECT_TRUE(store(peer, "ct.dcm", ExplicitLittleEndian));
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
    const std::vector<uint8_t>& got = peer.Received();
    EXPECT_EQ(proposedContexts(slice(got, 0, rq)), explicitThenImplicit);
    EXPECT_EQ(slice(got, rq, 114), hexBytes(R"(
        04 00 00 00 00 6C  00 00 00 68 01 03
        00 00 00 00 04 00 00 00 5A 00 00 00                    // group length 90
        00 00 02 00 1A 00 00 00 31 2E 32 2E 38 34 30 2E 31 30 30 30 38 2E
                                35 2E 31 2E 34 2E 31 2E 31 2E 32 00   // CT Image Storage
        00 00 00 01 02 00 00 00 01 00                          // C-STORE-RQ
        00 00 10 01 02 00 00 00 05 00                          // message ID 5: after two contexts
        00 00 00 07 02 00 00 00 00 00                          // medium priority
        00 00 00 08 02 00 00 00 02 01                          // a data set follows
        00 00 00 10 08 00 00 00 31 2E 32 2E 33 2E 35 00        // instance 1.2.3.5
    )"));
    // Same syntax accepted: the data set goes out as it was read, last fragment marked.
    EXPECT_EQ(slice(got, rq + 114, 12 + dataSet.size()), pdata(2, dataSet));
}

TEST_F(StoreTest, CommandSetWithoutInstanceUidLeavesItOut) {
    DcmObj ct;
    fillCt(ct, ExplicitLittleEndian);
    ct.Remove(1); // (0008,0018)
    ASSERT_EQ(ct.GetTag(0x0008, 0x0018), nullptr);
    writeDicomFile(dir.file("ct.dcm"), ct);
    std::size_t rq = requestSizeOf(CtImage, explicitThenImplicit);
    std::size_t dataSet = encode(ct).size();
    Peer peer(storeScript(rq, ExplicitLittleEndian, 98, dataSet));
    EXPECT_TRUE(store(peer, "ct.dcm", ""));
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
    EXPECT_EQ(slice(peer.Received(), rq, 98), hexBytes(R"(
        04 00 00 00 00 5C  00 00 00 58 01 03
        00 00 00 00 04 00 00 00 4A 00 00 00                    // group length 48 + 26
        00 00 02 00 1A 00 00 00 31 2E 32 2E 38 34 30 2E 31 30 30 30 38 2E
                                35 2E 31 2E 34 2E 31 2E 31 2E 32 00
        00 00 00 01 02 00 00 00 01 00
        00 00 10 01 02 00 00 00 05 00
        00 00 00 07 02 00 00 00 00 00
        00 00 00 08 02 00 00 00 02 01
    )"));
}

// A report has no pixels to compress: the chosen JPEG is not proposed, its own syntax and the
// other native one are, and it is relabelled for the one accepted.
TEST_F(StoreTest, ReportChosenAsJpegLosslessIsProposedNativeAndRelabelled) {
    DcmObj sr;
    fillReport(sr, ExplicitLittleEndian);
    writeDicomFile(dir.file("sr.dcm"), sr);
    DcmObj implicit;
    fillReport(implicit, ImplicitLittleEndian);
    std::vector<uint8_t> asImplicit = encode(implicit);
    std::vector<uint8_t> asExplicit = encode(sr);
    ASSERT_NE(asImplicit, asExplicit);
    std::size_t rq = requestSizeOf(ComprehensiveSr, explicitThenImplicit);
    std::size_t command = 12 + 12 + 48 + 30 + 16;
    for (const char* accepted : {ImplicitLittleEndian, ExplicitLittleEndian}) {
        bool implicit = std::string(accepted) == ImplicitLittleEndian;
        const std::vector<uint8_t>& expected = implicit ? asImplicit : asExplicit;
        uint8_t id = implicit ? 3 : 1;
        Peer peer(storeScript(rq, accepted, command, expected.size(), id));
        EXPECT_TRUE(store(peer, "sr.dcm", JpegLossless)) << accepted;
        ASSERT_TRUE(peer.Finish()) << peer.Failure();
        EXPECT_EQ(proposedContexts(slice(peer.Received(), 0, rq)), explicitThenImplicit);
        EXPECT_EQ(slice(peer.Received(), rq + command, 12 + expected.size()),
                  pdata(2, expected, id))
            << accepted;
    }
    EXPECT_TRUE(logged("WARNING, StoreSCU, the file cannot be sent in " +
                       std::string(JpegLossless) + "; not proposed"));
}

TEST_F(StoreTest, CtChosenAsJpeg2000IsConvertedWhenTheFirstIsAccepted) {
    DcmObj ct;
    fillCt(ct, ImplicitLittleEndian);
    writeDicomFile(dir.file("ct.dcm"), ct);
    const std::vector<std::vector<std::string>> proposed = {
        {Jpeg2000Lossless}, {ImplicitLittleEndian}, {ExplicitLittleEndian}};
    std::size_t rq = requestSizeOf(CtImage, proposed);
    std::size_t command = 12 + 12 + 48 + 26 + 16;

    // Only the file's own context accepted: sent unchanged.
    std::vector<uint8_t> asRead = encode(ct);
    {
        Peer peer(storeScript(rq, ImplicitLittleEndian, command, asRead.size(), 3));
        EXPECT_TRUE(store(peer, "ct.dcm", Jpeg2000Lossless));
        ASSERT_TRUE(peer.Finish()) << peer.Failure();
        EXPECT_EQ(proposedContexts(slice(peer.Received(), 0, rq)), proposed);
        EXPECT_EQ(slice(peer.Received(), rq + command, 12 + asRead.size()), pdata(2, asRead, 3));
    }

    // JPEG 2000 accepted: what is sent is the conversion's result, encoded explicitly.
    DcmObj expectedSet;
    fillCt(expectedSet, ImplicitLittleEndian);
    ASSERT_TRUE(DcmObj::ConvertTransferSyntax(expectedSet, Jpeg2000Lossless));
    std::vector<uint8_t> converted = encode(expectedSet);
    Peer peer(storeScript(rq, Jpeg2000Lossless, command, converted.size()));
    EXPECT_TRUE(store(peer, "ct.dcm", Jpeg2000Lossless));
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
    std::vector<uint8_t> sent = slice(peer.Received(), rq + command + 12, converted.size());
    EXPECT_EQ(sent, converted);
    DcmObj decoded;
    decoded.explicitVR = 1;
    BufData reader(0, sent.data(), sent.size());
    ASSERT_TRUE(reader.ReadObject(decoded));
    DcmTag* pixels = decoded.GetTag(0x7FE0, 0x0010);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(pixels->length, UndefinedLength);
}

namespace {

// A report with a number at the top and one inside a sequence item, in the data set's byte
// order.
void fillNumberedReport(DcmObj& sr, const std::string& transferSyntax) {
    fillReport(sr, transferSyntax);
    auto us = [&](uint16_t group, uint16_t element, uint16_t value) {
        auto tag = std::make_unique<DcmTag>(group, element, value, "US");
        if (sr.bigEndian)
            std::swap(tag->data[0], tag->data[1]);
        tag->bigEndian = sr.bigEndian;
        return tag;
    };
    sr.Add(us(0x0028, 0x0010, 0x1234));
    auto item = std::make_unique<DcmObj>();
    item->explicitVR = sr.explicitVR;
    item->bigEndian = sr.bigEndian;
    item->itemTag.group = 0xFFFE;
    item->itemTag.element = 0xE000;
    item->Append(us(0x0040, 0xA0B0, 0x0102));
    auto sequence = std::make_unique<DcmObj>();
    sequence->bigEndian = sr.bigEndian;
    sequence->AppendObj(std::move(item));
    sr.AddSequence(0x0040, 0xA730, std::move(sequence));
}

} // namespace

// A data set without pixel data changes between the native syntaxes; its numbers follow the
// byte order, nested ones included.
TEST_F(StoreTest, BigEndianReportIsSwappedForALittleEndianContext) {
    DcmObj sr;
    fillNumberedReport(sr, ExplicitBigEndian);
    writeDicomFile(dir.file("sr.dcm"), sr);
    DcmObj little;
    fillNumberedReport(little, ImplicitLittleEndian);
    std::vector<uint8_t> expected = encode(little);

    // Big endian chosen and the file's own: alone in the first context, the little-endian
    // fallbacks in the second; the peer takes the second.
    const std::vector<std::vector<std::string>> proposed = {
        {ExplicitBigEndian}, {ExplicitLittleEndian, ImplicitLittleEndian}};
    std::size_t rq = requestSizeOf(ComprehensiveSr, proposed);
    std::size_t command = 12 + 12 + 48 + 30 + 16;
    Peer peer(storeScript(rq, ImplicitLittleEndian, command, expected.size(), 3));
    EXPECT_TRUE(store(peer, "sr.dcm", ExplicitBigEndian));
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
    EXPECT_EQ(proposedContexts(slice(peer.Received(), 0, rq)), proposed);
    EXPECT_EQ(slice(peer.Received(), rq + command, 12 + expected.size()), pdata(2, expected, 3));
}

// Neither a conversion nor a relabelling applies: only the file's own syntax is proposed, and a
// peer that accepts another in its place leaves nothing to send on; the link is aborted.
TEST_F(StoreTest, ReportInACompressedSyntaxIsProposedOnlyAsItIs) {
    DcmObj sr;
    fillReport(sr, JpegLossless);
    writeDicomFile(dir.file("sr.dcm"), sr);
    std::size_t rq = requestSizeOf(ComprehensiveSr, {{JpegLossless}});
    Peer peer({Peer::Expect(rq), Peer::Send(acceptPdu(ImplicitLittleEndian)), Peer::Expect(10),
               Peer::ExpectEnd()});
    EXPECT_FALSE(store(peer, "sr.dcm", ""));
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
    EXPECT_EQ(proposedContexts(slice(peer.Received(), 0, rq)),
              (std::vector<std::vector<std::string>>{{JpegLossless}}));
    EXPECT_EQ(slice(peer.Received(), rq, 10), hexBytes("07 00 00 00 00 04 00 00 00 00"));
    EXPECT_TRUE(logged("ERROR, StoreSCU, OpenAssoc failed"));
}

// What is proposed for which data set: the chosen syntax alone, the file's own alone, the
// fallbacks together; never a syntax the data set cannot be sent in.
TEST(StoreProposal, OnlySyntaxesTheDataSetCanBeSentInAreProposed) {
    using Contexts = std::vector<std::vector<std::string>>;
    DcmObj ct;
    fillCt(ct, ExplicitLittleEndian);
    EXPECT_EQ(StoreProposals(ct, CtImage, JpegLossless),
              (Contexts{{JpegLossless}, {ExplicitLittleEndian}, {ImplicitLittleEndian}}));
    EXPECT_EQ(StoreProposals(ct, CtImage, ExplicitBigEndian),
              (Contexts{{ExplicitBigEndian}, {ExplicitLittleEndian}, {ImplicitLittleEndian}}));
    EXPECT_EQ(StoreProposals(ct, CtImage, ""),
              (Contexts{{ExplicitLittleEndian}, {ImplicitLittleEndian}}));
    // An unknown UID, and deflate, which the conversion cannot write.
    EXPECT_EQ(StoreProposals(ct, CtImage, "1.2.3.4"), StoreProposals(ct, CtImage, ""));
    EXPECT_FALSE(CanSendIn(ct, CtImage, "1.2.840.10008.1.2.1.99"));
    EXPECT_FALSE(CanSendIn(ct, CtImage, "1.2.840.10008.1.2.4.80"));

    // 32-bit samples: no JPEG of any kind, the native syntaxes still.
    DcmObj dose;
    fillCt(dose, ImplicitLittleEndian);
    dose.Add(std::make_unique<DcmTag>(0x0028, 0x0100, uint16_t{32}, "US"));
    for (const char* jpeg : {JpegLossless, "1.2.840.10008.1.2.4.50", Jpeg2000Lossless})
        EXPECT_FALSE(CanSendIn(dose, CtImage, jpeg)) << jpeg;
    EXPECT_EQ(StoreProposals(dose, CtImage, JpegLossless),
              (Contexts{{ImplicitLittleEndian}, {ExplicitLittleEndian}}));

    // A file in a syntax that is not decoded here goes as it is or not at all.
    DcmObj jpegLs;
    fillCt(jpegLs, "1.2.840.10008.1.2.4.80");
    EXPECT_EQ(StoreProposals(jpegLs, CtImage, ExplicitLittleEndian),
              (Contexts{{"1.2.840.10008.1.2.4.80"}}));
}

// Elements kept as UN get the dictionary's VR when sent explicitly; unknown ones, and values
// too long for a short VR, stay UN.
TEST(StoreProposal, KnownElementsStoredAsUnGetTheirDictionaryVR) {
    DcmObj dataSet;
    setSyntax(dataSet, ExplicitLittleEndian);
    auto un = [&](uint16_t group, uint16_t element, const std::string& value) {
        auto tag = std::make_unique<DcmTag>(group, element, value, "UN");
        tag->SetVR("UN");
        dataSet.Add(std::move(tag));
    };
    un(0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.481.2");
    un(0x0010, 0x0010, "Last^First");
    un(0x0009, 0x0010, "PRIVATE");
    un(0x0028, 0x0106, "AB");
    un(0x0008, 0x0060, std::string(70000, 'A'));
    ResolveUnknownVRs(dataSet);
    EXPECT_TRUE(dataSet.GetTag(0x0008, 0x0016)->IsVR("UI"));
    EXPECT_TRUE(dataSet.GetTag(0x0010, 0x0010)->IsVR("PN"));
    EXPECT_TRUE(dataSet.GetTag(0x0009, 0x0010)->IsVR("UN"));
    EXPECT_TRUE(dataSet.GetTag(0x0028, 0x0106)->IsVR("SS"));
    EXPECT_TRUE(dataSet.GetTag(0x0008, 0x0060)->IsVR("UN"));
    EXPECT_EQ(dataSet.GetString(0x0010, 0x0010), "Last^First");
}

TEST_F(StoreTest, ResponseFailures) {
    DcmObj ct;
    fillCt(ct, ExplicitLittleEndian);
    writeDicomFile(dir.file("ct.dcm"), ct);
    std::size_t rq = requestSizeOf(CtImage, explicitThenImplicit);
    std::size_t sent = 114 + 12 + encode(ct).size();
    auto run = [&](std::vector<Peer::Step> after, int timeout = 5) {
        std::vector<Peer::Step> steps = {
            Peer::Expect(rq), Peer::Send(acceptPdu(ExplicitLittleEndian)), Peer::Expect(sent)};
        steps.insert(steps.end(), after.begin(), after.end());
        Peer peer(steps);
        bool ok = store(peer, "ct.dcm", ExplicitLittleEndian, timeout);
        peer.Finish();
        return ok;
    };
    EXPECT_FALSE(run({Peer::Send(storeResponse(0xB000)), Peer::Expect(ReleaseSize)}));
    EXPECT_TRUE(logged("ERROR, CStore::ReadRSP, status == 45056"));
    EXPECT_EQ(reason, "C-STORE answered with a warning: 0xB000 coercion of data elements");
    for (auto [status, text] : {std::pair<uint16_t, const char*>{0xA701, "out of resources"},
                                {0xA900, "data set does not match SOP class"},
                                {0xC005, "cannot understand"},
                                {0x0111, "duplicate SOP instance"}}) {
        EXPECT_FALSE(run({Peer::Send(storeResponse(status)), Peer::Expect(ReleaseSize)}));
        EXPECT_EQ(reason, "C-STORE refused: " + Diagnosis::StatusText(status));
        EXPECT_NE(reason.find(text), std::string::npos);
    }

    EXPECT_FALSE(run({Peer::Send(storeResponse(0, 0x8030)), Peer::Expect(ReleaseSize)}));
    EXPECT_TRUE(logged("ERROR, CStore::ReadRSP, not a C-Store RSP"));
    EXPECT_EQ(reason, "C-STORE: the peer answered with another message than a C-STORE-RSP, or "
                      "one without a status");

    EXPECT_FALSE(run({Peer::Silent(std::chrono::milliseconds(2500))}, 1));
    EXPECT_TRUE(logged("ERROR, Socket::ReadBinary, Timed out"));
    EXPECT_TRUE(logged("ERROR, CStore::ReadRSP, PDU->Read DCO failed"));
    EXPECT_EQ(reason, "awaiting the C-STORE-RSP: no answer within 1 s");

    // A response without a status is no success.
    std::unique_ptr<DcmObj> bare =
        CommandSet().Uid(0x0002, CtImage).UShort(0x0100, 0x8001).UShort(0x0120, 3).Build();
    std::string before = log();
    EXPECT_FALSE(run({Peer::Send(pdata(3, encode(*bare))), Peer::Expect(ReleaseSize)}));
    EXPECT_NE(log().substr(before.size()).find("not a C-Store RSP"), std::string::npos);
}

TEST_F(StoreTest, PeerAbortingInTheMiddleOfTheDataSet) {
    // 8 MB of pixels: more than the socket buffers hold, so the abort comes mid-send.
    DcmObj ct;
    fillCt(ct, ExplicitLittleEndian);
    ct.Add(std::make_unique<DcmTag>(0x0028, 0x0010, uint16_t{2048}, "US"));
    ct.Add(std::make_unique<DcmTag>(0x0028, 0x0011, uint16_t{2048}, "US"));
    std::vector<uint8_t> pixels(2048 * 2048 * 2, 7);
    ct.AddValue(0x7FE0, 0x0010, static_cast<uint32_t>(pixels.size()), pixels.data());
    writeDicomFile(dir.file("big.dcm"), ct);
    std::size_t rq = requestSizeOf(CtImage, explicitThenImplicit);
    Peer peer({Peer::Expect(rq), Peer::Send(acceptPdu(ExplicitLittleEndian)),
               Peer::Expect(114 + 100000), Peer::Send(hexBytes("07 00 00 00 00 04 00 00 02 00")),
               Peer::Close()});
    EXPECT_FALSE(store(peer, "big.dcm", ExplicitLittleEndian));
    peer.Finish();
    std::string text = log();
    bool failedSending =
        text.find("ERROR, PDataTF::Write, failed Link.Flush\r\n") != std::string::npos &&
        text.find("ERROR, StoreSCU, WriteStoreRQ failed\r\n") != std::string::npos;
    // The abort is read by the next Read, or by the write that it stopped.
    bool abortRead = text.find("WARNING, PDU_Service::Read Abort-RQ\r\n") != std::string::npos ||
                     text.find("WARNING, PDU_Service::Write, Abort-RQ\r\n") != std::string::npos;
    EXPECT_TRUE(failedSending || abortRead) << text;
    EXPECT_EQ(reason.substr(reason.find(": ") + 2),
              "association aborted by the service provider: reason not specified (source 2, "
              "reason 0)");
}

TEST_F(StoreTest, FileThatIsNotDicomSendsNothing) {
    testsupport::writeFileBytes(dir.file("photo.jpg"),
                                hexBytes("FF D8 FF E0 00 10 4A 46 49 46 00 01 01 00 00 01"));
    EXPECT_FALSE(StoreSCU("local", "remote", "127.0.0.1", "9", dir.file("photo.jpg").string(),
                          ExplicitLittleEndian, 5, false, &reason));
    EXPECT_EQ(reason, "file: '" + dir.file("photo.jpg").string() +
                          "' is not DICOM: neither a DICOM file nor a data set could be read "
                          "from it");
    for (const std::string& name : {std::string("missing.dcm"), std::string()}) {
        reason.clear();
        EXPECT_FALSE(StoreSCU("local", "remote", "127.0.0.1", "9", dir.file(name).string(),
                              ExplicitLittleEndian, 5, false, &reason));
        EXPECT_EQ(reason, name.empty()
                              ? "file: '" + dir.path().string() + "/' is not a regular file"
                              : "file: '" + dir.file(name).string() + "' not found");
    }
    // A data set without a SOP Class UID.
    DcmObj plain;
    plain.Append(std::make_unique<DcmTag>(0x0010, 0x0010, std::string("NO^CLASS"), "PN"));
    writeDicomFile(dir.file("noclass.dcm"), plain);
    reason.clear();
    EXPECT_FALSE(StoreSCU("local", "remote", "127.0.0.1", "9", dir.file("noclass.dcm").string(),
                          ExplicitLittleEndian, 5, false, &reason));
    EXPECT_EQ(reason, "file: '" + dir.file("noclass.dcm").string() +
                          "' holds no SOP Class UID (0008,0016); it is not DICOM or not a stored "
                          "object");
    EXPECT_TRUE(logged("WARNING, StoreSCU, image is not standard DICOM"));
    EXPECT_TRUE(logged("ERROR: DcmObj::Read, " + dir.file("photo.jpg").string()));
    // No connection was tried.
    EXPECT_EQ(log().find("PDU_Service::Connect"), std::string::npos);
    EXPECT_EQ(log().find("OpenAssoc failed"), std::string::npos);
}

TEST_F(StoreTest, WriteStoreRQWithoutAnAssociation) {
    PDU_Service service;
    DcmObj ct;
    fillCt(ct, ExplicitLittleEndian);
    EXPECT_EQ(WriteStoreRQ(service, ct, CtImage), StoreResult::NoPresentationContext);
    // The data PDU's context is not what was negotiated: only Connect makes an association.
    service.data.PresentationContextID = 1;
    EXPECT_EQ(WriteStoreRQ(service, ct, CtImage), StoreResult::NoPresentationContext);
}

// A data set goes out while it is encoded, cut exactly as a whole message would be: PDVs of
// the block size, the last fragment flag only on the final one (which may be a full block).
TEST_F(StoreTest, DataSetIsCutIntoFullPdvsAndOneLast) {
    constexpr std::size_t Block = 16378; // 16384 - 6
    for (std::size_t total : {2 * Block, 2 * Block + 2, std::size_t{12}}) {
        DcmObj dataSet;
        std::vector<uint8_t> pixels(total - 8, 0x5A);
        dataSet.AddValue(0x7FE0, 0x0010, static_cast<uint32_t>(pixels.size()), pixels.data());
        ASSERT_EQ(encode(dataSet).size(), total);
        std::size_t pdus = (total + Block - 1) / Block;
        std::size_t rq = requestSize(CtImage, {ImplicitLittleEndian});
        Peer peer({Peer::Expect(rq), Peer::Send(acceptPdu(ImplicitLittleEndian)),
                   Peer::Expect(total + 12 * pdus), Peer::Expect(ReleaseSize),
                   Peer::Send(hexBytes("06 00 00 00 00 04 00 00 00 00"))});
        PDU_Service service;
        ASSERT_TRUE(OpenAssociation(service, {.callingTitle = "local",
                                              .calledTitle = "remote",
                                              .host = "127.0.0.1",
                                              .port = peer.PortText(),
                                              .abstractSyntax = CtImage,
                                              .timeoutSeconds = 5}));
        EXPECT_TRUE(service.Write(dataSet, 0));
        service.Close();
        ASSERT_TRUE(peer.Finish()) << peer.Failure();
        std::vector<uint8_t> got = slice(peer.Received(), rq, total + 12 * pdus);
        std::vector<uint8_t> body = encode(dataSet);
        std::vector<uint8_t> expected;
        for (std::size_t at = 0; at < total; at += Block) {
            std::size_t n = std::min(Block, total - at);
            std::vector<uint8_t> part(body.begin() + static_cast<long>(at),
                                      body.begin() + static_cast<long>(at + n));
            std::vector<uint8_t> pdu = pdata(at + n == total ? 2 : 0, part);
            expected.insert(expected.end(), pdu.begin(), pdu.end());
        }
        EXPECT_TRUE(got == expected) << total;
    }
}
