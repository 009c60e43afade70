#include "DcmObj.h"
#include "DicomFileWriter.h"
#include "GuiTestSupport.h"
#include "TestSupport.h"

#include <QToolButton>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using guitest::ChooseFile;
using guitest::InDirectory;
using guitest::ModalAnswers;
using guitest::PaneLines;
using guitest::Reject;
using testsupport::TempDir;

namespace {

const std::string samples = testsupport::SampleFiles;

void dump(TForm1& window, const ModalAnswers::Answer& answer) {
    ModalAnswers answers;
    answers.Then("OpenDialog1", answer);
    window.BitBtn1->click();
}

} // namespace

TEST(Dump, ExplicitLittleEndianFileBeginsWithItsTransferSyntax) {
    if (!std::filesystem::exists(samples + "CT_small.dcm"))
        GTEST_SKIP() << "pydicom's sample files are missing";
    TempDir dir;
    InDirectory in(dir.path());
    TForm1 window;
    dump(window, ChooseFile(samples + "CT_small.dcm"));
    // The dump runs on the window's thread: its lines are there when the click returns.
    QStringList lines = PaneLines(window);
    ASSERT_GT(lines.size(), 10);
    EXPECT_EQ(lines.front(), "Transfer Syntax: 1.2.840.10008.1.2.1");

    // The very lines the CLI prints for the same file.
    auto cli = testsupport::runCommand(testsupport::shellQuote(VESKARO_CLI) + " dump " +
                                       testsupport::shellQuote(samples + "CT_small.dcm"));
    ASSERT_EQ(cli.exitStatus, 0);
    EXPECT_EQ(window.Memo1->toPlainText().toUtf8().toStdString() + "\n", cli.output);
}

// A file the reader rejects: the pane and the log say so. A cancelled dialog leaves the
// pane empty.
TEST(Dump, RejectedFileSaysSoAndCancelledDialogLeavesThePaneEmpty) {
    TempDir dir;
    InDirectory in(dir.path());
    testsupport::writeFileBytes(dir.file("notes.txt"),
                                std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'});
    TForm1 window;

    window.Memo1->appendPlainText("from an earlier job");
    dump(window, ChooseFile(dir.file("notes.txt")));
    EXPECT_EQ(window.State.FileName, dir.file("notes.txt").string()) << "the file was chosen";
    const QString reason = "Reason: " + QString::fromStdString(dir.file("notes.txt").string()) +
                           " is not a DICOM file";
    EXPECT_EQ(PaneLines(window), QStringList{reason});

    dump(window, Reject());
    EXPECT_TRUE(PaneLines(window).isEmpty());
    EXPECT_EQ(window.StartedJobs(), 0);
}

// A named pipe chosen for the dump is refused at once with its reason: the window never waits
// for a writer. Should the read block, a writer that closes at once releases it after a minute.
TEST(Dump, NamedPipeIsRefusedWithoutFreezingTheWindow) {
    TempDir dir;
    InDirectory in(dir.path());
    const std::string pipe = dir.file("pipe").string();
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    TForm1 window;

    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::atomic<bool> released{false};
    std::thread watchdog([&] {
        if (finished.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
            released = true;
            ::close(::open(pipe.c_str(), O_WRONLY | O_NONBLOCK));
        }
    });
    dump(window, ChooseFile(pipe));
    EXPECT_EQ(PaneLines(window),
              QStringList{QString::fromStdString("Reason: " + pipe + " is not a DICOM file")});
    done.set_value();
    watchdog.join();
    EXPECT_FALSE(released) << "the dump blocked on the named pipe";
}

// Names in ISO_IR 100 and ISO_IR 192 show as the characters they are, in the window and in
// the CLI's UTF-8; AT values show as tags.
TEST(Dump, NamesInTheirCharacterSetAndTagsAsTags) {
    TempDir dir;
    InDirectory in(dir.path());
    struct Case {
        const char* set;
        std::string name;
        QString shown;
    };
    const Case cases[] = {
        {"ISO_IR 100",
         "M\xDC"
         "LLER^HANS",
         QString::fromUtf8("MÜLLER^HANS")},
        {"ISO_IR 192", "\xE5\xB1\xB1\xE7\x94\xB0^\xE5\xA4\xAA\xE9\x83\x8E",
         QString::fromUtf8("山田^太郎")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.set);
        DcmObj dataSet;
        dataSet.AddString(0x0008, 0x0005, c.set);
        dataSet.AddString(0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.7");
        dataSet.AddString(0x0008, 0x0018, "1.2.3.4");
        dataSet.AddString(0x0010, 0x0010, c.name);
        const uint8_t pointer[] = {0x20, 0x00, 0x13, 0x00};
        dataSet.AddValue(0x0020, 0x9165, 4, pointer);
        const auto file = dir.file(std::string(c.set).substr(7) + ".dcm");
        testsupport::writeDicomFile(file, dataSet);
        TForm1 window;
        dump(window, ChooseFile(file));
        const QString text = window.Memo1->toPlainText();
        EXPECT_TRUE(text.contains(c.shown)) << text.toStdString();
        EXPECT_TRUE(text.contains("(0020,0013)")) << text.toStdString();
        auto cli = testsupport::runCommand(testsupport::shellQuote(VESKARO_CLI) + " dump " +
                                           testsupport::shellQuote(file.string()));
        EXPECT_NE(cli.output.find(c.shown.toStdString()), std::string::npos) << cli.output;
    }
}
