#include "../app/AppTestHelpers.h"
#include "GuiTestSupport.h"
#include "TestSupport.h"
#include "TransferSyntaxItems.h"
#include "Tsselect.h"

#include <QComboBox>
#include <QPushButton>
#include <QToolButton>

#include <mutex>

using guitest::ChooseFile;
using guitest::InDirectory;
using guitest::JobsEnded;
using guitest::ModalAnswers;
using guitest::Reject;
using testsupport::TempDir;

namespace {

// What the STORE and PRINT jobs ran with.
struct RecordedJobs {
    RecordedJobs() {
        for (const char* kind : {"STORE", "PRINT"})
            bodies.Register(kind, [this](JobContext& job) {
                std::lock_guard<std::mutex> lock(mutex);
                runs.push_back(job.JobKind + " [" + job.TransferSyntaxUID + "] " +
                               job.Inputs.FileName);
                return JobOutcome::Succeeded;
            });
    }
    std::vector<std::string> taken() {
        std::lock_guard<std::mutex> lock(mutex);
        return runs;
    }
    JobBodyTable bodies;
    std::mutex mutex;
    std::vector<std::string> runs;
};

struct StoreWindow {
    StoreWindow() : in(dir.path()) {
        window.Bodies = &recorded.bodies;
        testsupport::writeFileBytes(dir.file("image.dcm"), std::vector<uint8_t>(8, 0));
    }
    ~StoreWindow() { EXPECT_TRUE(JobsEnded()); }

    // Store: choose index in the TransferSyntax dialog (-2: close it with its close box),
    // then pick the file or cancel the file dialog.
    void store(int index, bool pickFile) {
        ModalAnswers answers;
        answers.Then("Form4", [&](QWidget* w) {
            auto& form = *static_cast<TForm4*>(w);
            EXPECT_EQ(form.ComboBox1->currentIndex(), 0) << "each activation selects the first";
            if (index == -2) {
                form.close();
                return;
            }
            form.ComboBox1->setCurrentIndex(index);
            form.Button1->click();
        });
        answers.Then("OpenDialog1", pickFile ? ChooseFile(dir.file("image.dcm")) : Reject());
        window.BitBtn6->click();
    }

    TempDir dir;
    InDirectory in;
    TForm1 window;
    RecordedJobs recorded;
};

} // namespace

TEST(TransferSyntax, EachItemGivesItsUid) {
    const std::vector<std::pair<const char*, const char*>> expected = {
        {"little Endian, Explicit VR", "1.2.840.10008.1.2.1"},
        {"little Endian, Implicit VR", ""},
        {"Big Endian, Explicit VR", "1.2.840.10008.1.2.2"},
        {"JPEG Lossless", "1.2.840.10008.1.2.4.70"},
        {"JPEG Lossy", "1.2.840.10008.1.2.4.50"},
        {"JPEG 2K LossLess", "1.2.840.10008.1.2.4.90"},
        {"JPEG 2K Lossy", "1.2.840.10008.1.2.4.91"}};
    ASSERT_EQ(TransferSyntaxItems.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(TransferSyntaxItems[i].Item, expected[i].first);
        EXPECT_EQ(TransferSyntaxUIDFor(static_cast<int>(i)), expected[i].second);
    }
    EXPECT_EQ(TransferSyntaxUIDFor(-1), "");
    EXPECT_EQ(TransferSyntaxUIDFor(7), "");

    StoreWindow s;
    EXPECT_EQ(s.window.Form4->windowTitle(), "TransferSyntax");
    EXPECT_EQ(s.window.Form4->size(), QSize(292, 167));
    ASSERT_EQ(s.window.Form4->ComboBox1->count(), 7);
    EXPECT_EQ(s.window.Form4->TransferSyntaxChoice, 0);
    std::vector<std::string> expectedRuns;
    const std::string file = s.dir.file("image.dcm").string();
    for (int i = 0; i < 7; ++i) {
        s.store(i, true);
        EXPECT_EQ(s.window.Form4->TransferSyntaxChoice, i);
        expectedRuns.push_back("STORE [" + std::string(expected[i].second) + "] " + file);
        ASSERT_TRUE(JobsEnded());
    }
    EXPECT_EQ(s.recorded.taken(), expectedRuns);
}

TEST(TransferSyntax, CloseBoxKeepsThePreviousChoice) {
    StoreWindow s;
    const std::string file = s.dir.file("image.dcm").string();
    s.store(-2, true); // before any choice: 0, explicit VR little endian
    ASSERT_TRUE(JobsEnded());
    s.store(3, true);
    ASSERT_TRUE(JobsEnded());
    s.store(-2, true);
    ASSERT_TRUE(JobsEnded());
    EXPECT_EQ(s.recorded.taken(),
              (std::vector<std::string>{"STORE [1.2.840.10008.1.2.1] " + file,
                                        "STORE [1.2.840.10008.1.2.4.70] " + file,
                                        "STORE [1.2.840.10008.1.2.4.70] " + file}));
}

TEST(StoreAndPrint, CancelledFileDialogStartsNothingAndWritesNothing) {
    StoreWindow s;
    s.store(0, false);
    {
        ModalAnswers answers;
        answers.Then("OpenDialog1", Reject());
        s.window.BitBtn9->click();
    }
    EXPECT_EQ(s.window.StartedJobs(), 0);
    QTest::qWait(100);
    EXPECT_TRUE(s.recorded.taken().empty());
    EXPECT_TRUE(std::filesystem::is_empty(s.dir.path() / "logs"));

    {
        ModalAnswers answers;
        answers.Then("OpenDialog1", ChooseFile(s.dir.file("image.dcm")));
        s.window.BitBtn9->click();
    }
    ASSERT_TRUE(JobsEnded());
    EXPECT_EQ(s.recorded.taken(),
              std::vector<std::string>{"PRINT [] " + s.dir.file("image.dcm").string()});
    EXPECT_TRUE(std::filesystem::exists(apptest::logFile(s.dir.path(), "PRINT")));
}

TEST(StoreAndPrint, WithoutTheirServicesTheJobsEndInTheFailureVerdict) {
    TempDir dir;
    InDirectory in(dir.path());
    testsupport::writeFileBytes(dir.file("image.dcm"), std::vector<uint8_t>(8, 0));
    TForm1 window;
    JobBodyTable none; // as before the services register their bodies
    window.Bodies = &none;
    for (QToolButton* button : {window.BitBtn6, window.BitBtn9}) {
        ModalAnswers answers;
        if (button == window.BitBtn6)
            answers.Then("Form4", guitest::Accept());
        answers.Then("OpenDialog1", ChooseFile(dir.file("image.dcm")));
        button->click();
        ASSERT_TRUE(JobsEnded());
        const QString kind = button == window.BitBtn6 ? "STORE" : "PRINT";
        EXPECT_TRUE(guitest::WaitFor([&] {
            QStringList lines = guitest::PaneLines(window);
            return lines.size() == 2 && lines[0].startsWith("Reason: ") &&
                   lines[1] == kind + " failed to connect to: remote (127.0.0.1:104)";
        })) << guitest::PaneLines(window).join('|').toStdString();
    }
}
