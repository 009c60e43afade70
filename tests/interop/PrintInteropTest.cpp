// PRINT through the CLI to DCMTK's dcmprscp (grayscale print management): DICOM, bitmap and
// JPEG inputs; the printer's stored hardcopy image is compared with our own rendering.

#include "DcmObj.h"
#include "DcmtkPeer.h"
#include "Jpeg.h"
#include "LogFiles.h"
#include "Presentation.h"
#include "Print.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>

using testsupport::DcmtkPeer;
using testsupport::havePeers;
using testsupport::readText;
using testsupport::runCommand;
using testsupport::shellQuote;
using testsupport::StartPrintScp;
using testsupport::TempDir;
namespace fs = std::filesystem;

namespace {

const std::string samples = "/usr/lib/python3/dist-packages/pydicom/data/test_files/";

std::string cli(const fs::path& dir, const std::string& args) {
    return "cd " + shellQuote(dir.string()) + " && " + shellQuote(VESKARO_CLI) + " " + args +
           " 2>/dev/null";
}

std::string printLog(const fs::path& dir) {
    return readText(testsupport::logFile(dir, "PRINT"));
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The pixel bytes our printer side would send for a picture.
std::vector<uint8_t> expectedPixels(const QImage& picture) {
    BuildPrintLut(1.0f);
    DcmObj ds;
    EXPECT_TRUE(BitmapToPixelData(picture, ds, false));
    const DcmTag* p = ds.GetTag(0x7FE0, 0x0010);
    std::size_t n = std::size_t(picture.width()) * picture.height();
    return std::vector<uint8_t>(p->data.get(), p->data.get() + n);
}

QImage renderedDicom(const std::string& file) {
    DcmObj ds;
    EXPECT_TRUE(DcmObj::Read(ds, file));
    EXPECT_TRUE(DcmObj::ConvertTransferSyntax(ds, ExplicitLittleEndian));
    QImage picture;
    EXPECT_TRUE(RenderToBitmap(picture, ds));
    return picture;
}

class PrintInterop : public ::testing::Test {
protected:
    TempDir home;
    TempDir printerDir;
    std::unique_ptr<DcmtkPeer> printer;

    void SetUp() override {
        if (!havePeers({"dcmprscp", "dcmdump"}))
            GTEST_SKIP();
        printer = StartPrintScp(printerDir.path().string());
        ASSERT_TRUE(printer->Ready());
        ASSERT_EQ(
            runCommand(cli(home.path(), "setup --remote-aet PRINTSCP --remote-port " +
                                            std::to_string(printer->Port()) + " --log-level 2"))
                .exitStatus,
            0);
    }

    testsupport::CommandResult print(const fs::path& file) {
        return runCommand(cli(home.path(), "print " + shellQuote(file.string())));
    }

    std::string printerLog() const { return readText(printerDir.file("printer.log")); }

    // The one hardcopy image the printer stored: its size and pixel bytes.
    bool storedImage(int& columns, int& rows, std::vector<uint8_t>& pixels) {
        for (const auto& entry : fs::directory_iterator(printerDir.file("db"))) {
            if (entry.path().filename().string().rfind("HG_", 0) != 0)
                continue;
            DcmObj ds;
            if (!DcmObj::Read(ds, entry.path().string()))
                return false;
            columns = ds.GetUShort(0x0028, 0x0011);
            rows = ds.GetUShort(0x0028, 0x0010);
            const DcmTag* p = ds.GetTag(0x7FE0, 0x0010);
            if (!p || !p->HasValue())
                return false;
            std::size_t n = std::size_t(columns) * rows;
            pixels.assign(p->data.get(), p->data.get() + std::min<std::size_t>(n, p->length));
            return true;
        }
        return false;
    }

    // The printer saw the film session, the film box with one image, the action and deletion.
    void expectWholeExchange() {
        std::string log = printerLog();
        EXPECT_EQ(count(log, "Message Type                  : N-CREATE RQ"), 2) << log;
        EXPECT_EQ(count(log, "Message Type                  : N-SET RQ"), 1);
        EXPECT_EQ(count(log, "Message Type                  : N-ACTION RQ"), 1);
        EXPECT_EQ(count(log, "Message Type                  : N-DELETE RQ"), 1);
        EXPECT_NE(log.find("[STANDARD\\1,1]"), std::string::npos);
        EXPECT_EQ(count(log, "DIMSE Status                  : 0x0000: Success"), 5);
        std::string ours = printLog(home.path());
        for (const char* line :
             {"Create Film Session: OK!", "Create Film Box: OK!", "Set Images OK",
              "FilmBox Action: OK!", "FilmSession Delete: OK!", "PRINT OK"})
            EXPECT_NE(ours.find(line), std::string::npos) << line;
    }

    void expectStored(const QImage& picture) {
        int columns = 0, rows = 0;
        std::vector<uint8_t> pixels;
        ASSERT_TRUE(storedImage(columns, rows, pixels));
        EXPECT_EQ(columns, picture.width());
        EXPECT_EQ(rows, picture.height());
        EXPECT_EQ(pixels, expectedPixels(picture));
    }
};

} // namespace

TEST_F(PrintInterop, ComputedTomographyWithItsRequestedSize) {
    const std::string file = samples + "CT_small.dcm";
    auto r = print(file);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.output, "PRINT OK\n");
    expectWholeExchange();
    // 128 columns of 0.661468 mm.
    EXPECT_NE(printerLog().find("(2020,0030) DS [84.7]"), std::string::npos);
    EXPECT_NE(printerLog().find("(2020,0040) CS [CROP]"), std::string::npos);
    expectStored(renderedDicom(file));
}

TEST_F(PrintInterop, MagneticResonanceWithoutPixelSpacingRequestsNoSize) {
    // MR_small with its Pixel Spacing turned into another tag.
    std::string bytes = readText(samples + "MR_small.dcm");
    const std::string spacing("\x28\x00\x30\x00"
                              "DS",
                              6);
    ASSERT_EQ(count(bytes, spacing), 1);
    bytes.replace(bytes.find(spacing), 6,
                  std::string("\x28\x00\x31\x00"
                              "DS",
                              6));
    const fs::path file = home.file("mr_no_spacing.dcm");
    std::ofstream(file, std::ios::binary) << bytes;

    auto r = print(file);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.output, "PRINT OK\n");
    expectWholeExchange();
    EXPECT_EQ(printerLog().find("(2020,0030)"), std::string::npos);
    expectStored(renderedDicom(file.string()));
}

TEST_F(PrintInterop, EightBitBitmapPrintsGreyAt300PixelsPerInch) {
    QImage picture;
    CreateGrayBitmap(picture, 1200, 9, qRgb(0, 0, 0));
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 1200; ++x)
            picture.scanLine(y)[x] = static_cast<uint8_t>((x + 40 * y) & 0xFF);
    const fs::path file = home.file("ramp.bmp");
    ASSERT_TRUE(picture.save(QString::fromStdString(file.string()), "BMP"));
    ASSERT_EQ(readText(file)[28], 8) << "not an 8-bit bitmap file";

    auto r = print(file);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.output, "PRINT OK\n");
    expectWholeExchange();
    EXPECT_NE(printerLog().find("(2020,0030) DS [101.6]"), std::string::npos);
    expectStored(picture);
}

TEST_F(PrintInterop, GreyJpegIsDecodedIntoTheImageBox) {
    const int width = 64, height = 48;
    std::vector<uint8_t> grey(width * height);
    for (int k = 0; k < width * height; ++k)
        grey[k] = static_cast<uint8_t>((k % width) * 4);
    std::vector<uint8_t> stream;
    ASSERT_EQ(JpegEncode8(width, height, 1, grey.data(), stream, EncoderLossy), 0);
    const fs::path file = home.file("scan.JPG");
    testsupport::writeFileBytes(file, stream);

    auto r = print(file);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.output, "PRINT OK\n");
    expectWholeExchange();
    EXPECT_NE(printerLog().find("(2020,0030) DS [5.4]"), std::string::npos); // 64 px at 300 dpi
    QImage decoded;
    ASSERT_TRUE(LoadJpegPicture(file.string(), decoded));
    expectStored(decoded);
}

TEST_F(PrintInterop, ColourPicturesAskForColourPrintingWhichThisPrinterRefuses) {
    QImage picture(40, 30, QImage::Format_RGB888);
    picture.fill(QColor(200, 30, 60));
    const fs::path file = home.file("photo.BMP");
    ASSERT_TRUE(picture.save(QString::fromStdString(file.string()), "BMP"));
    ASSERT_EQ(readText(file)[28], 24) << "not a 24-bit bitmap file";

    auto r = print(file);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.output, "Reason: presentation context: the peer accepted none of the proposed: "
                        "Basic Color Print Management Meta SOP Class (1.2.840.10008.5.1.1.18): "
                        "abstract syntax not supported (context 1, result 3)\n"
                        "PRINT failed to connect to: PRINTSCP (127.0.0.1:" +
                            std::to_string(printer->Port()) + ")\n");
    std::string ours = printLog(home.path());
    EXPECT_NE(ours.find("AbsSyntax: 1.2.840.10008.5.1.1.18"), std::string::npos);
    EXPECT_NE(ours.find("Connection Failed!"), std::string::npos);
}

TEST(PrintJob, MixedCaseJpegExtensionIsReadAsDicomAndEndsWithoutVerdict) {
    TempDir home;
    std::vector<uint8_t> grey(16 * 16, 128), stream;
    ASSERT_EQ(JpegEncode8(16, 16, 1, grey.data(), stream, EncoderLossy), 0);
    testsupport::writeFileBytes(home.file("scan.Jpg"), stream);
    auto r = runCommand(cli(home.path(), "print scan.Jpg"));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.output, "");
    std::string log = printLog(home.path());
    EXPECT_NE(log.find("Starting PRINT Service"), std::string::npos);
    EXPECT_NE(log.find("ERROR: opening DICOM File"), std::string::npos);
    EXPECT_EQ(log.find("PRINT OK"), std::string::npos);
    EXPECT_EQ(log.find("PRINT failed"), std::string::npos);
}

TEST(PrintJob, UndecodableJpegFailsWithoutPrinting) {
    TempDir home;
    testsupport::writeFileBytes(home.file("broken.jpg"), {0xFF, 0xD8, 0xFF, 0xD9});
    auto r = runCommand(cli(home.path(), "setup --remote-port 9") + " && " +
                        cli(home.path(), "print broken.jpg"));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.output, "Reason: file: '" + home.file("broken.jpg").string() +
                            "' cannot be decoded: it holds no 8-bit grey or colour JPEG "
                            "picture\nPRINT failed to connect to: remote (127.0.0.1:9)\n");
    std::string log = printLog(home.path());
    EXPECT_NE(log.find("ERROR, LoadJpegPicture"), std::string::npos);
    EXPECT_EQ(log.find("Connect"), std::string::npos);
}

TEST_F(PrintInterop, WaveformIsDrawnAsAColourPageAndSavedBesideTheLogs) {
    auto r = print(samples + "waveform_ecg.dcm");
    EXPECT_EQ(r.exitStatus, 1); // the page is colour; this printer takes grey only
    std::string ours = printLog(home.path());
    EXPECT_NE(ours.find("AbsSyntax: 1.2.840.10008.5.1.1.18"), std::string::npos);
    QImage page(QString::fromStdString(home.file("test.bmp").string()));
    ASSERT_FALSE(page.isNull());
    EXPECT_EQ(page.size(), QSize(1000, 1200));
}
