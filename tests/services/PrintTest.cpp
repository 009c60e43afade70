#include "Print.h"

#include "Association.h"
#include "Bitmaps.h"
#include "BufData.h"
#include "DcmtkPeer.h"
#include "DimseScript.h"
#include "Jpeg.h"
#include "LogFixture.h"
#include "ReactiveDimsePeer.h"
#include "ScriptedPeer.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <functional>

using namespace dimsescript;

namespace {

// --- a printer on loopback that answers each step, for the cases a real one will not play --

// The first element with this tag in the list, flat sequences included.
const DcmTag* findFlat(const DcmObj& obj, uint16_t group, uint16_t element) {
    for (int i = 0; i < obj.Count(); ++i)
        if (const DcmTag* t = obj.TagAt(i); t && t->Is(group, element))
            return t;
    return nullptr;
}

std::string textOf(const DcmObj& obj, uint16_t group, uint16_t element) {
    const DcmTag* t = findFlat(obj, group, element);
    return t ? t->GetString() : "<absent>";
}

constexpr const char* SessionUid = "1.2.3.100";
constexpr const char* FilmBoxUid = "1.2.3.200";
constexpr const char* ImageBoxUid = "1.2.3.300";
constexpr const char* GrayImageBoxClass = "1.2.840.10008.5.1.1.4";

void appendFlat(DcmObj& obj, uint16_t g, uint16_t e, const std::string& text, const char* vr) {
    obj.Append(std::make_unique<DcmTag>(g, e, text, vr));
}
void appendMark(DcmObj& obj, uint16_t g, uint16_t e, uint32_t length) {
    obj.Append(std::make_unique<DcmTag>(g, e, length, nullptr, g == 0xFFFE ? nullptr : "SQ"));
}

// The film box response's Referenced Image Box Sequence, flat (undefined lengths).
std::unique_ptr<DcmObj> flatImageBoxes(const std::string& boxClass, int count = 1) {
    auto ds = std::make_unique<DcmObj>();
    appendFlat(*ds, 0x2010, 0x0010, "STANDARD\\1,1", "ST");
    appendMark(*ds, 0x2010, 0x0510, UndefinedLength);
    for (int i = 0; i < count; ++i) {
        appendMark(*ds, 0xFFFE, 0xE000, UndefinedLength);
        appendFlat(*ds, 0x0008, 0x1150, boxClass, "UI");
        appendFlat(*ds, 0x0008, 0x1155, ImageBoxUid + std::string(".") + std::to_string(i), "UI");
        appendMark(*ds, 0xFFFE, 0xE00D, 0);
    }
    appendMark(*ds, 0xFFFE, 0xE0DD, 0);
    return ds;
}

// A printer that accepts everything; `status` may change the status of one step.
DimseHandlers
printer(const std::string& boxClass,
        std::function<uint16_t(uint16_t field, const std::string& sop)> status = nullptr) {
    DimseHandlers handlers;
    for (uint16_t field : {NCreateRQ, NSetRQ, NActionRQ, NDeleteRQ})
        handlers[field] = [boxClass, status, field](const DimseMessage& m) {
            DimseReply r;
            const std::string sop = m.sopClass();
            if (field == NCreateRQ && sop == FilmSessionSopClass) {
                r.affectedInstance = SessionUid;
            } else if (field == NCreateRQ && sop == FilmBoxSopClass) {
                r.affectedInstance = FilmBoxUid;
                r.dataSet = flatImageBoxes(boxClass);
            }
            if (status)
                r.status = status(field, sop);
            return r;
        };
    return handlers;
}

// The printer's peer: it takes the print meta classes as the handlers' printer "PRINTER".
class PrintPeer : public ReactiveDimsePeer {
public:
    explicit PrintPeer(DimseHandlers handlers, ContextPolicy contexts = nullptr,
                       int associations = 1)
        : ReactiveDimsePeer(std::move(handlers), std::move(contexts), associations, "PRINTER") {}
    std::string AbstractSyntax() const {
        return AbstractSyntaxes().empty() ? "" : AbstractSyntaxes().front();
    }
};

std::vector<uint16_t> fields(const std::vector<DimseMessage>& messages) {
    std::vector<uint16_t> out;
    for (const DimseMessage& m : messages)
        out.push_back(m.field());
    return out;
}

QImage greyPicture(int width, int height, uint8_t level) {
    QImage picture;
    CreateGrayBitmap(picture, width, height, qRgb(level, level, level));
    return picture;
}

class PrintTest : public LogFixture {
protected:
    int print(PrintPeer& peer, FilmBox& film, bool colour) {
        reason.clear();
        return PrintSCU(film, "local", "PRINTER", "127.0.0.1", peer.PortText(), colour, &reason);
    }
    std::string reason;
    FilmBox film() {
        FilmBox f;
        f.FilmDestination = "MAGAZINE";
        f.FilmOrientation = "PORTRAIT";
        f.FilmSizeID = "14INX17IN";
        f.MagnificationType = "REPLICATE";
        return f;
    }
};

std::vector<uint8_t> commandBytes(uint16_t field, const std::string& sop, const std::string& inst,
                                  bool hasData, int action) {
    std::unique_ptr<DcmObj> command = NRequestCommand(field, sop, inst, hasData, action);
    return encode(*command);
}

} // namespace

// --- command sets ----------------------------------------------------------------------------

TEST(PrintCommands, NSetCarriesGroupLengthAndRequestedInstance) {
    auto bytes = commandBytes(NSetRQ, GrayImageBoxClass, "1.2.3", true, -1);
    std::vector<uint8_t> expected = hexBytes(R"(
        00 00 00 00 04 00 00 00 4A 00 00 00          // group length 22 + 6 + 46 = 74
        00 00 03 00 16 00 00 00 31 2E 32 2E 38 34 30 2E 31 30 30 30 38 2E 35 2E 31 2E 31 2E 34 00
        00 00 00 01 02 00 00 00 20 01                // N-SET-RQ
    )");
    ASSERT_GT(bytes.size(), expected.size());
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + expected.size()), expected);
    std::vector<uint8_t> tail = hexBytes(R"(
        00 00 00 08 02 00 00 00 02 01                // a data set follows
        00 00 01 10 06 00 00 00 31 2E 32 2E 33 00    // requested instance, padded with 00
    )");
    EXPECT_EQ(std::vector<uint8_t>(bytes.end() - tail.size(), bytes.end()), tail);
    EXPECT_EQ(bytes.size(), 12u + 74u);
}

TEST(PrintCommands, ActionDeleteAndCreateLengthsAndDataSetTypes) {
    auto action = decoded(commandBytes(NActionRQ, FilmBoxSopClass, "1.2.3.4", false, 1));
    EXPECT_EQ(action->GetTag(0, 0)->GetULong(), 22u + 8u + 46u + 10u);
    EXPECT_EQ(action->GetUShort(0, 0x0800), 0x0101);
    EXPECT_EQ(action->GetUShort(0, 0x1008), 1);
    auto withData = decoded(commandBytes(NActionRQ, FilmBoxSopClass, "1.2.3.4", true, 1));
    EXPECT_EQ(withData->GetUShort(0, 0x0800), 0x0102);

    auto del = decoded(commandBytes(NDeleteRQ, FilmSessionSopClass, "1.2.3.4", false, -1));
    EXPECT_EQ(del->GetTag(0, 0)->GetULong(), 22u + 8u + 46u);
    EXPECT_EQ(del->GetUShort(0, 0x0800), 0x0101);
    EXPECT_EQ(del->GetUShort(0, 0x0100), 0x0150);
    EXPECT_EQ(del->GetString(0, 0x1001), "1.2.3.4");

    // The printer chooses the new instance's UID: no empty Affected SOP Instance UID is sent.
    auto create = decoded(commandBytes(NCreateRQ, FilmSessionSopClass, "", true, -1));
    EXPECT_EQ(create->GetTag(0, 0)->GetULong(), 22u + 38u);
    EXPECT_EQ(create->GetUShort(0, 0x0800), 0x0102);
    EXPECT_EQ(create->GetString(0, 0x0002), FilmSessionSopClass);
    EXPECT_EQ(create->GetTag(0, 0x1000), nullptr);
}

// --- LUT, sizes, pixel data ------------------------------------------------------------------

TEST(PrintPixels, LutAtGammaOneDropsOneLevel) {
    BuildPrintLut(1.0f);
    PrintLutTable t = PrintLut();
    EXPECT_EQ(t[0], 0);
    for (int v = 1; v < 256; ++v)
        ASSERT_EQ(t[v], v - 1) << v;
}

TEST(PrintPixels, RequestedSizeText) {
    EXPECT_EQ(FormatRequestedSize(101.6f), "101.6");
    EXPECT_EQ(FormatRequestedSize(200.0f), "200");
    EXPECT_EQ(FormatRequestedSize(84.666f), "84.7");
    EXPECT_EQ(FormatRequestedSize(12.96f), "13");
    EXPECT_EQ(FormatRequestedSize(0.5f), ".5");
    EXPECT_EQ(FormatRequestedSize(1200 * 25.4f / 300), "101.6");
}

TEST(PrintPixels, GreyFromEightBitsIsPaddedWhenOdd) {
    BuildPrintLut(1.0f);
    QImage picture = greyPicture(3, 3, 0);
    picture.scanLine(0)[0] = 255;
    picture.scanLine(1)[2] = 100;
    DcmObj ds;
    ASSERT_TRUE(BitmapToPixelData(picture, ds, false));
    EXPECT_EQ(ds.GetUShort(0x0028, 0x0002), 1);
    EXPECT_EQ(ds.GetString(0x0028, 0x0004), "MONOCHROME2");
    EXPECT_EQ(ds.GetUShort(0x0028, 0x0010), 3);
    EXPECT_EQ(ds.GetUShort(0x0028, 0x0011), 3);
    EXPECT_EQ(ds.GetUShort(0x0028, 0x0102), 7);
    EXPECT_EQ(ds.GetTag(0x0028, 0x0006), nullptr);
    const DcmTag* pixels = ds.GetTag(0x7FE0, 0x0010);
    ASSERT_NE(pixels, nullptr);
    std::vector<uint8_t> got(pixels->data.get(), pixels->data.get() + pixels->length);
    EXPECT_EQ(got, (std::vector<uint8_t>{254, 0, 0, 0, 0, 99, 0, 0, 0, 0}));
}

TEST(PrintPixels, ColourIsPlanarAndGreyIsTheMeanFromTwentyFourBits) {
    BuildPrintLut(1.0f);
    QImage picture;
    CreateRgbBitmap(picture, 2, 1, qRgb(0, 0, 0));
    picture.setPixel(0, 0, qRgb(11, 21, 31));
    picture.setPixel(1, 0, qRgb(101, 151, 201));
    DcmObj colour;
    ASSERT_TRUE(BitmapToPixelData(picture, colour, true));
    EXPECT_EQ(colour.GetUShort(0x0028, 0x0002), 3);
    EXPECT_EQ(colour.GetString(0x0028, 0x0004), "RGB");
    EXPECT_EQ(colour.GetUShort(0x0028, 0x0006), 1);
    const DcmTag* p = colour.GetTag(0x7FE0, 0x0010);
    ASSERT_EQ(p->length, 6u);
    EXPECT_EQ(std::vector<uint8_t>(p->data.get(), p->data.get() + 6),
              (std::vector<uint8_t>{10, 100, 20, 150, 30, 200}));

    DcmObj grey;
    ASSERT_TRUE(BitmapToPixelData(picture, grey, false));
    const DcmTag* g = grey.GetTag(0x7FE0, 0x0010);
    ASSERT_EQ(g->length, 2u);
    EXPECT_EQ(g->data[0], (10 + 20 + 30) / 3);
    EXPECT_EQ(g->data[1], (100 + 150 + 200) / 3);

    // 32-bit pictures read the first three bytes of each pixel; 8-bit ones repeat the level.
    DcmObj fromArgb;
    ASSERT_TRUE(BitmapToPixelData(picture.convertToFormat(QImage::Format_ARGB32), fromArgb, true));
    const DcmTag* a = fromArgb.GetTag(0x7FE0, 0x0010);
    EXPECT_EQ(std::vector<uint8_t>(a->data.get(), a->data.get() + 6),
              (std::vector<uint8_t>{10, 100, 20, 150, 30, 200}));
    DcmObj fromGrey;
    ASSERT_TRUE(BitmapToPixelData(greyPicture(1, 1, 77), fromGrey, true));
    const DcmTag* r = fromGrey.GetTag(0x7FE0, 0x0010);
    ASSERT_EQ(r->length, 4u);
    EXPECT_EQ(std::vector<uint8_t>(r->data.get(), r->data.get() + 4),
              (std::vector<uint8_t>{76, 76, 76, 0}));
}

// --- whole print exchanges -------------------------------------------------------------------

TEST_F(PrintTest, GreyPrintRunsTheFiveStepsWithTheReturnedUids) {
    CurrentLogLevel = 1;
    PrintPeer peer(printer(GrayImageBoxClass));
    FilmBox f = film();
    f.ImageBoxes[0].Picture = greyPicture(1200, 3, 255);
    f.ImageBoxes[0].RequestedWidth = 1200 * 25.4f / 300;
    EXPECT_EQ(print(peer, f, false), 0);
    const std::vector<DimseMessage>& m = peer.Finish();
    EXPECT_EQ(peer.AbstractSyntax(), GrayscalePrintMetaSopClass);
    ASSERT_EQ(fields(m),
              (std::vector<uint16_t>{NCreateRQ, NCreateRQ, NSetRQ, NActionRQ, NDeleteRQ}));
    EXPECT_TRUE(peer.Released());

    const DcmObj& session = *m[0].dataSet;
    EXPECT_EQ(textOf(session, 0x2000, 0x0010), "1");
    EXPECT_EQ(textOf(session, 0x2000, 0x0020), "MED");
    EXPECT_EQ(findFlat(session, 0x2000, 0x0030)->length, 0u);
    EXPECT_EQ(textOf(session, 0x2000, 0x0040), "MAGAZINE");

    const DcmObj& box = *m[1].dataSet;
    EXPECT_EQ(textOf(box, 0x2010, 0x0010), "STANDARD\\1,1");
    EXPECT_EQ(textOf(box, 0x2010, 0x0040), "PORTRAIT");
    EXPECT_EQ(textOf(box, 0x2010, 0x0050), "14INX17IN");
    EXPECT_EQ(textOf(box, 0x2010, 0x0060), "REPLICATE");
    EXPECT_EQ(findFlat(box, 0x2010, 0x0500)->length, UndefinedLength);
    EXPECT_EQ(textOf(box, 0x0008, 0x1150), FilmSessionSopClass);
    EXPECT_EQ(textOf(box, 0x0008, 0x1155), SessionUid);
    EXPECT_EQ(f.FilmSessionUID, SessionUid);
    EXPECT_EQ(f.FilmBoxUID, FilmBoxUid);

    const DimseMessage& set = m[2];
    EXPECT_EQ(set.command->GetString(0, 0x0003), GrayImageBoxClass);
    EXPECT_EQ(set.command->GetString(0, 0x1001), ImageBoxUid + std::string(".0"));
    const DcmObj& image = *set.dataSet;
    EXPECT_EQ(findFlat(image, 0x2020, 0x0010)->GetUShort(), 1);
    EXPECT_EQ(textOf(image, 0x2020, 0x0020), "NORMAL");
    EXPECT_EQ(textOf(image, 0x2020, 0x0030), "101.6");
    EXPECT_EQ(textOf(image, 0x2020, 0x0040), "CROP");
    EXPECT_NE(findFlat(image, 0x2020, 0x0110), nullptr);
    EXPECT_EQ(findFlat(image, 0x2020, 0x0111), nullptr);
    EXPECT_EQ(textOf(image, 0x0028, 0x0004), "MONOCHROME2");
    const DcmTag* pixels = findFlat(image, 0x7FE0, 0x0010);
    ASSERT_NE(pixels, nullptr);
    ASSERT_EQ(pixels->length, 3600u);
    EXPECT_EQ(pixels->data[0], 254);

    EXPECT_EQ(m[3].command->GetString(0, 0x1001), FilmBoxUid);
    EXPECT_EQ(m[3].command->GetUShort(0, 0x1008), 1);
    EXPECT_EQ(m[3].command->GetUShort(0, 0x0800), 0x0101);
    EXPECT_EQ(m[4].command->GetString(0, 0x1001), SessionUid);
    EXPECT_EQ(m[4].command->GetString(0, 0x0003), FilmSessionSopClass);

    for (const char* line : {"Create Film Session: OK!", "Create Film Box: OK!", "Set Images OK",
                             "FilmBox Action: OK!", "FilmSession Delete: OK!"})
        EXPECT_TRUE(logged(line)) << line;
}

TEST_F(PrintTest, ColourPrintSendsThreePlanesInTheColourSequence) {
    PrintPeer peer(printer(ColorImageBoxSopClass));
    FilmBox f = film();
    CreateRgbBitmap(f.ImageBoxes[0].Picture, 3, 1, qRgb(0, 0, 0));
    f.ImageBoxes[0].Picture.setPixel(0, 0, qRgb(255, 128, 1));
    EXPECT_EQ(print(peer, f, true), 0);
    const std::vector<DimseMessage>& m = peer.Finish();
    EXPECT_EQ(peer.AbstractSyntax(), ColorPrintMetaSopClass);
    ASSERT_EQ(m.size(), 5u);
    const DcmObj& image = *m[2].dataSet;
    EXPECT_EQ(m[2].command->GetString(0, 0x0003), ColorImageBoxSopClass);
    EXPECT_NE(findFlat(image, 0x2020, 0x0111), nullptr);
    EXPECT_EQ(findFlat(image, 0x2020, 0x0110), nullptr);
    EXPECT_EQ(findFlat(image, 0x2020, 0x0030), nullptr); // width 0: no requested size
    EXPECT_EQ(findFlat(image, 0x2020, 0x0040), nullptr);
    EXPECT_EQ(findFlat(image, 0x0028, 0x0002)->GetUShort(), 3);
    EXPECT_EQ(textOf(image, 0x0028, 0x0004), "RGB");
    EXPECT_EQ(findFlat(image, 0x0028, 0x0006)->GetUShort(), 1);
    const DcmTag* p = findFlat(image, 0x7FE0, 0x0010);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(p->length, 10u); // 9 bytes in three planes, padded
    EXPECT_EQ(std::vector<uint8_t>(p->data.get(), p->data.get() + 10),
              (std::vector<uint8_t>{254, 0, 0, 127, 0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(logged("OK")); // level 0: failures only
}

TEST_F(PrintTest, RejectedFilmBoxLeavesTheSessionAndFails) {
    DimseHandlers handlers = printer(GrayImageBoxClass);
    handlers[NCreateRQ] = [accepting = handlers[NCreateRQ]](const DimseMessage& m) {
        DimseReply r = accepting(m);
        if (m.sopClass() == FilmBoxSopClass) {
            r.status = 0x0106;
            r.attributeList = hexBytes("10 20 50 00"); // (2010,0050) Film Size ID
            r.errorComment = "no such film";
        }
        return r;
    };
    PrintPeer peer(std::move(handlers));
    FilmBox f = film();
    EXPECT_EQ(print(peer, f, false), PrintFailed);
    EXPECT_EQ(fields(peer.Finish()), (std::vector<uint16_t>{NCreateRQ, NCreateRQ}));
    EXPECT_TRUE(peer.Released());
    EXPECT_TRUE(logged("Create Film Box: Failed!"));
    EXPECT_EQ(reason, "Film Box N-CREATE refused: 0x0106 invalid attribute value (Film Size ID "
                      "14INX17IN); the peer says: 'no such film'");
}

TEST_F(PrintTest, FailedActionStillDeletesTheSession) {
    CurrentLogLevel = 1;
    PrintPeer peer(printer(GrayImageBoxClass, [](uint16_t field, const std::string&) {
        return field == NActionRQ ? 0xC600 : 0;
    }));
    FilmBox f = film();
    EXPECT_EQ(print(peer, f, false), PrintFailed);
    EXPECT_EQ(fields(peer.Finish()),
              (std::vector<uint16_t>{NCreateRQ, NCreateRQ, NSetRQ, NActionRQ, NDeleteRQ}));
    EXPECT_TRUE(logged("Film Box Action: Failed!"));
    EXPECT_TRUE(logged("FilmSession Delete: OK!"));
    EXPECT_FALSE(logged("FilmBox Action: OK!"));
    EXPECT_EQ(reason, "Film Box N-ACTION refused: 0xC600 film session contains no film box");
}

TEST_F(PrintTest, FailedDeleteAfterAGoodActionKeepsTheResult) {
    PrintPeer peer(printer(GrayImageBoxClass, [](uint16_t field, const std::string&) {
        return field == NDeleteRQ ? 0x0110 : 0;
    }));
    FilmBox f = film();
    EXPECT_EQ(print(peer, f, false), 0);
    peer.Finish();
    EXPECT_TRUE(logged("FilmSession Delete: Failed!"));
}

TEST_F(PrintTest, WarningOnTheFilmSessionIsAFailure) {
    PrintPeer peer(printer(GrayImageBoxClass, [](uint16_t field, const std::string& sop) {
        return field == NCreateRQ && sop == FilmSessionSopClass ? 0xB600 : 0;
    }));
    FilmBox f = film();
    EXPECT_EQ(print(peer, f, false), PrintFailed);
    EXPECT_EQ(fields(peer.Finish()), (std::vector<uint16_t>{NCreateRQ}));
    EXPECT_TRUE(logged("Create Film Session: Failed!"));
    EXPECT_EQ(reason, "Film Session N-CREATE answered with a warning: 0xB600 memory allocation "
                      "not supported");
}

TEST_F(PrintTest, FailedImageBoxIsReportedAndTheSessionDeleted) {
    PrintPeer peer(printer(GrayImageBoxClass, [](uint16_t field, const std::string&) {
        return field == NSetRQ ? 0x0106 : 0;
    }));
    FilmBox f = film();
    EXPECT_EQ(print(peer, f, false), PrintFailed);
    EXPECT_EQ(fields(peer.Finish()),
              (std::vector<uint16_t>{NCreateRQ, NCreateRQ, NSetRQ, NDeleteRQ}));
    EXPECT_TRUE(logged("Set Image Box: Failed!"));
    EXPECT_TRUE(logged("ERROR, SetImages failed"));
    EXPECT_EQ(reason, "Grayscale Image Box N-SET refused: 0x0106 invalid attribute value");
}

TEST_F(PrintTest, RefusedMetaSopClassEndsInConnectionFailed) {
    // Colour is refused, and so is the grey the client falls back to on a second association.
    PrintPeer peer(
        printer(GrayImageBoxClass), [](const std::string&) { return 3; }, 2);
    FilmBox f = film();
    EXPECT_EQ(print(peer, f, true), PrintFailed);
    EXPECT_TRUE(peer.Finish().empty());
    EXPECT_EQ(peer.AbstractSyntaxes(),
              (std::vector<std::string>{ColorPrintMetaSopClass, GrayscalePrintMetaSopClass}));
    EXPECT_TRUE(logged("the printer takes no colour"));
    EXPECT_TRUE(logged("Connection Failed!"));
    EXPECT_EQ(reason, "presentation context: the peer accepted none of the proposed: Basic "
                      "Grayscale Print Management Meta SOP Class (1.2.840.10008.5.1.1.9): "
                      "abstract syntax not supported (context 1, result 3)");
}

TEST_F(PrintTest, ImageBoxReferencesFromANestedResponseAndBeyondTwentyFour) {
    DimseHandlers handlers;
    handlers[NCreateRQ] = [](const DimseMessage& m) {
        DimseReply r;
        if (m.sopClass() == FilmBoxSopClass) {
            r.affectedInstance = FilmBoxUid;
            auto sequence = std::make_unique<DcmObj>();
            for (int i = 0; i < 30; ++i) {
                auto item = std::make_unique<DcmObj>();
                item->itemTag.group = 0xFFFE;
                item->itemTag.element = 0xE000;
                if (i != 1)
                    appendFlat(*item, 0x0008, 0x1150, GrayImageBoxClass, "UI");
                appendFlat(*item, 0x0008, 0x1155, "1.2.9." + std::to_string(i), "UI");
                sequence->AppendObj(std::move(item));
            }
            r.dataSet = std::make_unique<DcmObj>();
            r.dataSet->AddSequence(0x2010, 0x0510, std::move(sequence));
            DcmObj::EncodeToTag(*r.dataSet->ObjAt(0), r.dataSet->ObjAt(0)->itemTag);
        } else {
            r.affectedInstance = SessionUid;
        }
        return r;
    };
    PrintPeer peer(std::move(handlers));
    FilmBox f = film();
    EXPECT_EQ(print(peer, f, false), 0);
    peer.Finish();
    EXPECT_EQ(f.ImageBoxes[0].SOPInstanceUID, "1.2.9.0");
    EXPECT_EQ(f.ImageBoxes[0].SOPClassUID, GrayImageBoxClass);
    EXPECT_EQ(f.ImageBoxes[1].SOPClassUID, ""); // its own item named no class
    EXPECT_EQ(f.ImageBoxes[23].SOPInstanceUID, "1.2.9.23");
    EXPECT_EQ(f.ImageBoxes.size(), ImageBoxesPerFilm);
}

TEST_F(PrintTest, NoPrinterListening) {
    FilmBox f = film();
    const std::string port = std::to_string(testsupport::FreeLoopbackPort());
    EXPECT_EQ(PrintSCU(f, "local", "PRINTER", "127.0.0.1", port, false, &reason), PrintFailed);
    EXPECT_TRUE(logged("Connection Failed!"));
    EXPECT_EQ(reason, "TCP connect: connection refused, nothing listens on 127.0.0.1:" + port +
                          " (errno 111, Connection refused)");
}

// --- JPEG picture files ----------------------------------------------------------------------

TEST_F(PrintTest, JpegPicturesDecodeIntoGreyOrColourBitmaps) {
    testsupport::TempDir dir;
    std::vector<uint8_t> rgb(24 * 16 * 3), stream;
    for (std::size_t k = 0; k < rgb.size(); k += 3) {
        rgb[k] = 200;
        rgb[k + 1] = 30;
        rgb[k + 2] = 60;
    }
    ASSERT_EQ(JpegEncode8(24, 16, 3, rgb.data(), stream, EncoderLossy), 0);
    testsupport::writeFileBytes(dir.file("colour.jpg"), stream);
    QImage colour;
    ASSERT_TRUE(LoadJpegPicture(dir.file("colour.jpg").string(), colour));
    EXPECT_EQ(colour.format(), QImage::Format_BGR888);
    EXPECT_EQ(colour.size(), QSize(24, 16));
    QRgb p = colour.pixel(10, 8);
    EXPECT_NEAR(qRed(p), 200, 8);
    EXPECT_NEAR(qGreen(p), 30, 8);
    EXPECT_NEAR(qBlue(p), 60, 8);

    std::vector<uint8_t> grey(8 * 8, 90);
    ASSERT_EQ(JpegEncode8(8, 8, 1, grey.data(), stream, EncoderLossy), 0);
    testsupport::writeFileBytes(dir.file("grey.jpg"), stream);
    QImage mono;
    ASSERT_TRUE(LoadJpegPicture(dir.file("grey.jpg").string(), mono));
    EXPECT_EQ(mono.format(), QImage::Format_Indexed8);
    EXPECT_NEAR(mono.constScanLine(4)[4], 90, 2);

    // Cut short, missing, or a header promising far more pixels than the stream holds.
    std::vector<uint8_t> cut(stream.begin(), stream.begin() + stream.size() / 2);
    testsupport::writeFileBytes(dir.file("cut.jpg"), cut);
    QImage none;
    EXPECT_FALSE(LoadJpegPicture(dir.file("cut.jpg").string(), none));
    EXPECT_FALSE(LoadJpegPicture(dir.file("missing.jpg").string(), none));
    std::vector<uint8_t> huge = hexBytes(R"(
        FF D8
        FF C0 00 0B 08 EA 60 EA 60 01 01 11 00    // 8-bit, 60000 x 60000, one component
        FF D9
    )");
    testsupport::writeFileBytes(dir.file("huge.jpg"), huge);
    EXPECT_FALSE(LoadJpegPicture(dir.file("huge.jpg").string(), none));
    EXPECT_TRUE(logged("frame too large for the stream"));
}
