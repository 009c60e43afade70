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

const std::string samples = "/usr/lib/python3/dist-packages/pydicom/data/test_files/";

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
    EXPECT_EQ(window.Memo1->toPlainText().toLatin1().toStdString() + "\n", cli.output);
}

TEST(Dump, RejectedFileOrCancelledDialogLeavesThePaneEmpty) {
    TempDir dir;
    InDirectory in(dir.path());
    testsupport::writeFileBytes(dir.file("notes.txt"),
                                std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'});
    TForm1 window;

    window.Memo1->appendPlainText("from an earlier job");
    dump(window, ChooseFile(dir.file("notes.txt")));
    EXPECT_EQ(window.State.FileName, dir.file("notes.txt").string()) << "the file was chosen";
    EXPECT_TRUE(PaneLines(window).isEmpty());

    window.Memo1->appendPlainText("from an earlier job");
    dump(window, Reject());
    EXPECT_TRUE(PaneLines(window).isEmpty());
    EXPECT_EQ(window.StartedJobs(), 0);
}

// A named pipe chosen for the dump is refused at once: the window never waits for
// a writer. Should the read block, a writer that closes at once releases it after a minute.
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
    EXPECT_TRUE(PaneLines(window).isEmpty());
    done.set_value();
    watchdog.join();
    EXPECT_FALSE(released) << "the dump blocked on the named pipe";
}
