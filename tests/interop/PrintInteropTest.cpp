// PRINT through the CLI to DCMTK's dcmprscp (grayscale print management): DICOM, bitmap and
// JPEG inputs; the printer's stored hardcopy image is compared with our own rendering.

#include "DcmObj.h"
#include "DcmtkPeer.h"
#include "JobLines.h"
#include "Jpeg.h"
#include "LogFiles.h"
#include "Presentation.h"
#include "Print.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include "DicomFileWriter.h"

#include <cmath>
#include <cstdio>
#include <fstream>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

const std::string samples = testsupport::SampleFiles;

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

struct Similarity {
    double correlation = 0;
    double nrmse = 1;
};

// Two grey films of w x h compared inside a border of 2 pixels, which the renderer leaves in
// the background colour.
Similarity similarity(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int w, int h) {
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0, sd = 0, n = 0;
    for (int y = 2; y < h - 2; ++y)
        for (int x = 2; x < w - 2; ++x) {
            const std::size_t k = std::size_t(y) * w + x;
            if (k >= a.size() || k >= b.size())
                continue;
            const double u = a[k], v = b[k];
            sa += u;
            sb += v;
            saa += u * u;
            sbb += v * v;
            sab += u * v;
            sd += (u - v) * (u - v);
            ++n;
        }
    Similarity s;
    if (n == 0)
        return s;
    const double cov = sab / n - sa / n * sb / n;
    const double va = saa / n - sa / n * sa / n, vb = sbb / n - sb / n * sb / n;
    s.correlation = va > 0 && vb > 0 ? cov / std::sqrt(va * vb) : (va == vb ? 1.0 : 0.0);
    s.nrmse = std::sqrt(sd / n) / 255.0;
    return s;
}

// dcm2pnm's 8-bit rendering of the first frame (PGM or PPM samples).
std::vector<uint8_t> renderedByDcmtk(const fs::path& file, const fs::path& dir,
                                     const std::string& options) {
    const fs::path out = dir / "reference.pnm";
    if (runCommand("dcm2pnm " + options + " " + shellQuote(file.string()) + " " +
                   shellQuote(out.string()) + " >/dev/null 2>&1")
            .exitStatus != 0)
        return {};
    std::vector<uint8_t> bytes = testsupport::readFileBytes(out);
    std::size_t at = 0;
    for (int fields = 0; fields < 4 && at < bytes.size(); ++at)
        if (bytes[at] == '\n' || bytes[at] == ' ')
            ++fields;
    return std::vector<uint8_t>(bytes.begin() + static_cast<long>(at), bytes.end());
}

void put16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(v & 0xFF);
    b.push_back(v >> 8);
}

void put32(std::vector<uint8_t>& b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

// A 4-bit bitmap file with a palette of 16 greys from white to black, columns striped through
// the 16 entries.
std::vector<uint8_t> fourBitBitmap(int width, int height) {
    const uint32_t rowBytes = ((width + 1) / 2 + 3) & ~3u;
    const uint32_t offset = 14 + 40 + 16 * 4;
    std::vector<uint8_t> b = {'B', 'M'};
    put32(b, offset + rowBytes * height);
    put32(b, 0);
    put32(b, offset);
    put32(b, 40);
    put32(b, width);
    put32(b, height);
    put16(b, 1);
    put16(b, 4);
    put32(b, 0);
    put32(b, rowBytes * height);
    put32(b, 2835);
    put32(b, 2835);
    put32(b, 16);
    put32(b, 0);
    for (int i = 0; i < 16; ++i) {
        const uint8_t g = static_cast<uint8_t>(255 - 17 * i);
        b.insert(b.end(), {g, g, g, 0});
    }
    for (int y = 0; y < height; ++y) {
        std::vector<uint8_t> row(rowBytes, 0);
        for (int x = 0; x < width; ++x) {
            const uint8_t index = static_cast<uint8_t>((x / 4 + y / 8) & 15);
            row[x / 2] |= x % 2 == 0 ? index << 4 : index;
        }
        b.insert(b.end(), row.begin(), row.end());
    }
    return b;
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
    EXPECT_EQ(testsupport::withoutDoneLines(r.output), "PRINT OK\n");
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
    EXPECT_EQ(testsupport::withoutDoneLines(r.output), "PRINT OK\n");
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
    EXPECT_EQ(testsupport::withoutDoneLines(r.output), "PRINT OK\n");
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
    EXPECT_EQ(testsupport::withoutDoneLines(r.output), "PRINT OK\n");
    expectWholeExchange();
    EXPECT_NE(printerLog().find("(2020,0030) DS [5.4]"), std::string::npos); // 64 px at 300 dpi
    QImage decoded;
    ASSERT_TRUE(LoadJpegPicture(file.string(), decoded));
    expectStored(decoded);
}

TEST_F(PrintInterop, ColourPicturesGoOutAsGreyWhenThePrinterTakesNoColour) {
    QImage picture(40, 30, QImage::Format_RGB888);
    picture.fill(QColor(200, 30, 60));
    const fs::path file = home.file("photo.BMP");
    ASSERT_TRUE(picture.save(QString::fromStdString(file.string()), "BMP"));
    ASSERT_EQ(readText(file)[28], 24) << "not a 24-bit bitmap file";

    auto r = print(file);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(testsupport::withoutDoneLines(r.output), "PRINT OK\n");
    std::string ours = printLog(home.path());
    EXPECT_NE(ours.find("AbsSyntax: 1.2.840.10008.5.1.1.18"), std::string::npos);
    EXPECT_NE(ours.find("INFO, PrintSCU, the printer takes no colour"), std::string::npos);
    EXPECT_EQ(ours.find("Connection Failed!"), std::string::npos);
    expectWholeExchange();
    expectStored(picture.convertToFormat(QImage::Format_Grayscale8));
}

// The reader's reason and the failure verdict, in the pane and in the log; nothing is sent.
TEST(PrintJob, MixedCaseJpegExtensionIsReadAsDicomAndSaysItIsNotOne) {
    TempDir home;
    std::vector<uint8_t> grey(16 * 16, 128), stream;
    ASSERT_EQ(JpegEncode8(16, 16, 1, grey.data(), stream, EncoderLossy), 0);
    testsupport::writeFileBytes(home.file("scan.Jpg"), stream);
    auto r = runCommand(cli(home.path(), "print scan.Jpg"));
    EXPECT_EQ(r.exitStatus, 1);
    const std::string reason = "Reason: scan.Jpg is not a DICOM file";
    EXPECT_EQ(r.output, reason + "\nPRINT failed to connect to: remote (127.0.0.1:104)\n");
    std::string log = printLog(home.path());
    EXPECT_NE(log.find("Starting PRINT Service"), std::string::npos);
    EXPECT_NE(log.find("ERROR: opening DICOM File"), std::string::npos);
    EXPECT_NE(log.find(reason), std::string::npos);
    EXPECT_EQ(log.find("PRINT OK"), std::string::npos);
    EXPECT_NE(log.find("PRINT failed"), std::string::npos);
}

TEST(PrintJob, UndecodableJpegFailsWithoutPrinting) {
    TempDir home;
    testsupport::writeFileBytes(home.file("broken.jpg"), {0xFF, 0xD8, 0xFF, 0xD9});
    auto r = runCommand(cli(home.path(), "setup --remote-port 9") + " && " +
                        cli(home.path(), "print broken.jpg"));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(testsupport::withoutDoneLines(r.output),
              "Reason: file: 'broken.jpg' cannot be decoded: it holds no 8-bit grey or colour JPEG "
              "picture\nPRINT failed to connect to: remote (127.0.0.1:9)\n");
    std::string log = printLog(home.path());
    EXPECT_NE(log.find("ERROR, LoadJpegPicture"), std::string::npos);
    EXPECT_EQ(log.find("Connect"), std::string::npos);
}

TEST_F(PrintInterop, WaveformPageFitsTheFilmAndGoesOutAsGrey) {
    auto r = print(samples + "waveform_ecg.dcm");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(testsupport::withoutDoneLines(r.output), "PRINT OK\n");
    std::string ours = printLog(home.path());
    EXPECT_NE(ours.find("AbsSyntax: 1.2.840.10008.5.1.1.18"), std::string::npos);
    EXPECT_NE(ours.find("INFO, PrintSCU, the printer takes no colour"), std::string::npos);
    QImage page(QString::fromStdString(home.file("test.bmp").string()));
    ASSERT_FALSE(page.isNull());
    EXPECT_EQ(page.size(), QSize(850, 1100));
    int columns = 0, rows = 0;
    std::vector<uint8_t> pixels;
    ASSERT_TRUE(storedImage(columns, rows, pixels));
    EXPECT_EQ(columns, 850);
    EXPECT_EQ(rows, 1100);
    const Similarity s = similarity(
        pixels, expectedPixels(page.convertToFormat(QImage::Format_Grayscale8)), columns, rows);
    std::printf("[ print    ] ECG page: correlation %.4f, nrmse %.4f\n", s.correlation, s.nrmse);
    EXPECT_GE(s.correlation, 0.99);
}

// A grey image without a window prints its whole range, as a min-max window shows it.
TEST_F(PrintInterop, GreyImagesWithoutAWindowShowTheirWholeRange) {
    for (const char* name : {"CT_small", "MR_small"}) {
        SCOPED_TRACE(name);
        DcmObj ds;
        ASSERT_TRUE(DcmObj::Read(ds, samples + name + ".dcm"));
        for (uint16_t element : {0x1050, 0x1051})
            for (int i = 0; i < ds.Count(); ++i)
                if (ds.TagAt(i) && ds.TagAt(i)->Is(0x0028, element))
                    ds.Remove(i--);
        const fs::path file = home.file(std::string(name) + "_nowindow.dcm");
        testsupport::writeDicomFile(file, ds);
        fs::remove_all(printerDir.file("db"));
        fs::create_directories(printerDir.file("db"));
        auto r = print(file);
        EXPECT_EQ(testsupport::withoutDoneLines(r.output), "PRINT OK\n");
        EXPECT_NE(printLog(home.path()).find("INFO, RenderToBitmap, no window"), std::string::npos);
        int columns = 0, rows = 0;
        std::vector<uint8_t> pixels;
        ASSERT_TRUE(storedImage(columns, rows, pixels));
        std::vector<uint8_t> reference = renderedByDcmtk(file, home.path(), "+Wm");
        ASSERT_EQ(reference.size(), pixels.size());
        const Similarity s = similarity(pixels, reference, columns, rows);
        std::printf("[ print    ] %s without window: correlation %.4f, nrmse %.4f\n", name,
                    s.correlation, s.nrmse);
        EXPECT_GE(s.correlation, 0.99);
        EXPECT_LE(s.nrmse, 0.03);
    }
}

// Bitmaps go through their palette: 4-bit and 8-bit grey palettes (one reversed) give grey
// films of the picture; a colour palette becomes the picture's luminance on this grey printer.
TEST_F(PrintInterop, PaletteBitmapsPrintWhatTheyShow) {
    const int width = 64, height = 32;
    auto ramp = [&](int x, int y) { return (x * 4 + y) & 0xFF; };
    QImage reversed(width, height, QImage::Format_Indexed8);
    QImage blueToRed(width, height, QImage::Format_Indexed8);
    QList<QRgb> reversedPalette, bluePalette;
    for (int i = 0; i < 256; ++i) {
        reversedPalette.push_back(qRgb(255 - i, 255 - i, 255 - i));
        bluePalette.push_back(qRgb(i, 0, 255 - i));
    }
    reversed.setColorTable(reversedPalette);
    blueToRed.setColorTable(bluePalette);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            reversed.scanLine(y)[x] = static_cast<uint8_t>(ramp(x, y));
            blueToRed.scanLine(y)[x] = static_cast<uint8_t>(ramp(x, y));
        }
    std::vector<std::pair<std::string, fs::path>> files;
    for (auto& [name, picture] : {std::pair<std::string, QImage*>{"reversed", &reversed},
                                  std::pair<std::string, QImage*>{"bluetored", &blueToRed}}) {
        fs::path file = home.file(name + ".bmp");
        ASSERT_TRUE(picture->save(QString::fromStdString(file.string()), "BMP"));
        files.emplace_back(name, file);
    }
    files.emplace_back("fourbit", home.file("fourbit.bmp"));
    testsupport::writeFileBytes(home.file("fourbit.bmp"), fourBitBitmap(width, height));

    for (const auto& [name, file] : files) {
        SCOPED_TRACE(name);
        fs::remove_all(printerDir.file("db"));
        fs::create_directories(printerDir.file("db"));
        auto r = print(file);
        EXPECT_EQ(testsupport::withoutDoneLines(r.output), "PRINT OK\n");
        QImage loaded(QString::fromStdString(file.string()));
        ASSERT_FALSE(loaded.isNull());
        int columns = 0, rows = 0;
        std::vector<uint8_t> pixels;
        ASSERT_TRUE(storedImage(columns, rows, pixels));
        // Colour pictures reach the grey film through 24 bits, as the print job takes them.
        const QImage picture =
            loaded.allGray() ? loaded : loaded.convertToFormat(QImage::Format_BGR888);
        const Similarity s =
            similarity(pixels, expectedPixels(picture.convertToFormat(QImage::Format_Grayscale8)),
                       columns, rows);
        std::printf("[ print    ] %s bitmap: correlation %.4f, nrmse %.4f\n", name.c_str(),
                    s.correlation, s.nrmse);
        EXPECT_LE(s.nrmse, 0.02);
    }
}

// 16-bit RGB arrives reduced to 8 bits, whole, as its luminance on this grey printer.
TEST_F(PrintInterop, SixteenBitColourPrintsWhole) {
    const fs::path file = samples + "SC_rgb_rle_16bit.dcm";
    auto r = print(file);
    EXPECT_EQ(testsupport::withoutDoneLines(r.output), "PRINT OK\n");
    int columns = 0, rows = 0;
    std::vector<uint8_t> pixels;
    ASSERT_TRUE(storedImage(columns, rows, pixels));
    std::vector<uint8_t> reference = renderedByDcmtk(file, home.path(), "");
    ASSERT_EQ(reference.size(), pixels.size() * 3);
    QImage colour(reference.data(), columns, rows, columns * 3, QImage::Format_RGB888);
    const Similarity s = similarity(
        pixels, expectedPixels(colour.convertToFormat(QImage::Format_Grayscale8)), columns, rows);
    std::printf("[ print    ] SC_rgb_rle_16bit: correlation %.4f, nrmse %.4f\n", s.correlation,
                s.nrmse);
    EXPECT_LE(s.nrmse, 0.03);
}

// Pictures that cannot be decoded are not printed as blank films.
TEST_F(PrintInterop, UndecodablePicturesFailTheJob) {
    DcmObj bits;
    bits.transferSyntax = "1.2.840.10008.1.2.1";
    bits.explicitVR = 1;
    bits.AddString(0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.7");
    bits.AddString(0x0008, 0x0018, "1.2.826.0.1.3680043.2.1143.77.2");
    bits.Add(std::make_unique<DcmTag>(0x0028, 0x0002, uint16_t{1}, "US"));
    bits.AddString(0x0028, 0x0004, "MONOCHROME2");
    bits.Add(std::make_unique<DcmTag>(0x0028, 0x0010, uint16_t{16}, "US"));
    bits.Add(std::make_unique<DcmTag>(0x0028, 0x0011, uint16_t{16}, "US"));
    bits.Add(std::make_unique<DcmTag>(0x0028, 0x0100, uint16_t{1}, "US"));
    bits.Add(std::make_unique<DcmTag>(0x0028, 0x0101, uint16_t{1}, "US"));
    bits.Add(std::make_unique<DcmTag>(0x0028, 0x0102, uint16_t{0}, "US"));
    bits.Add(std::make_unique<DcmTag>(0x0028, 0x0103, uint16_t{0}, "US"));
    const std::vector<uint8_t> packed(32, 0xA5);
    bits.AddValue(0x7FE0, 0x0010, static_cast<uint32_t>(packed.size()), packed.data());
    testsupport::writeDicomFile(home.file("onebit.dcm"), bits);

    for (const fs::path& file :
         {fs::path(samples + "MR_small_jpeg_ls_lossless.dcm"), home.file("onebit.dcm")}) {
        SCOPED_TRACE(file.filename().string());
        auto r = print(file);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_NE(r.output, "PRINT OK\n");
        EXPECT_NE(printLog(home.path()).find("ERROR, PRINT, the "), std::string::npos);
    }
    EXPECT_EQ(printerLog().find("N-SET RQ"), std::string::npos);
    EXPECT_NE(printLog(home.path()).find("in 1.2.840.10008.1.2.4.80 cannot be decoded"),
              std::string::npos);
    EXPECT_NE(printLog(home.path()).find("1 bits allocated) cannot be drawn"), std::string::npos);
}
