// What the window shows while jobs run and after: progress and its end, Cancel and Esc, End
// while a job runs, the verdict in view, names in their character sets, the result table.

#include "DimseScript.h"
#include "Find.h"
#include "GuiTestSupport.h"
#include "JobBodies.h"
#include "Qfilter.h"
#include "ScriptedPeer.h"
#include "TestSupport.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QTableView>
#include <QTextBlock>
#include <QToolButton>

using namespace dimsescript;
using guitest::InDirectory;
using guitest::JobsEnded;
using guitest::ModalAnswers;
using guitest::PaneLines;
using guitest::ResultLines;
using guitest::WaitFor;
using testsupport::TempDir;

namespace {

const std::string verification = "1.2.840.10008.1.1";
const std::vector<uint8_t> abortPdu = hexBytes("07 00 00000004 00 00 00 00");

struct Window {
    Window() : in(dir.path()) {
        RegisterServiceJobBodies(services);
        window.Bodies = &services;
    }
    ~Window() { EXPECT_TRUE(JobsEnded()); }
    void pointAt(const std::string& aet, const std::string& port) {
        SetSettingsText(window.State.Settings.RemoteAET, aet);
        SetSettingsText(window.State.Settings.RemotePort, port);
    }
    bool statusShown(const QString& start) {
        for (const QString& line : PaneLines(window))
            if (line.startsWith(start))
                return true;
        return false;
    }

    TempDir dir;
    InDirectory in;
    JobBodyTable services;
    TForm1 window;
};

// A peer that takes the association request and never answers; what comes next is captured.
std::vector<ScriptedPeer::Step> silentAfterRequest() {
    return {ScriptedPeer::Expect(associateRequestSize(verification)), ScriptedPeer::Expect(10),
            ScriptedPeer::Close()};
}

} // namespace

TEST(WindowFeedback, ProgressShowsWhileAJobRunsAndCancelAbortsItWithinASecond) {
    for (bool escape : {false, true}) {
        SCOPED_TRACE(escape ? "Esc in the pane" : "Cancel button");
        Window w;
        ScriptedPeer peer(silentAfterRequest());
        w.pointAt("QUIET", peer.PortText());
        w.window.show();
        EXPECT_FALSE(w.window.ProgressPanel->isVisible());

        w.window.BitBtn4->click();
        ASSERT_TRUE(WaitFor([&] { return w.statusShown("ECHO: negotiating, "); }))
            << PaneLines(w.window).join('|').toStdString();
        EXPECT_TRUE(w.window.ProgressPanel->isVisible());
        EXPECT_TRUE(w.window.ProgressBar1->isVisible());
        EXPECT_TRUE(w.window.CancelButton->isEnabled());
        EXPECT_FALSE(w.window.BitBtn10->isVisible());
        EXPECT_EQ(w.window.Memo1->viewport()->cursor().shape(), Qt::BusyCursor);
        EXPECT_EQ(PaneLines(w.window).front().left(9), "--- ECHO ");

        QElapsedTimer clock;
        clock.start();
        if (escape) {
            w.window.Memo1->setFocus();
            QTest::keyClick(w.window.Memo1, Qt::Key_Escape);
        } else {
            w.window.CancelButton->click();
        }
        ASSERT_TRUE(WaitFor([] { return TForm1::RunningJobs() == 0; }, 5000));
        EXPECT_LT(clock.elapsed(), 1000);
        const QString verdict = "ECHO failed to connect to: QUIET (127.0.0.1:" +
                                QString::fromStdString(peer.PortText()) + ")";
        EXPECT_TRUE(WaitFor([&] {
            return ResultLines(w.window) == QStringList{"Reason: cancelled by the user", verdict};
        })) << PaneLines(w.window).join('|').toStdString();
        EXPECT_TRUE(WaitFor([&] { return !w.window.ProgressPanel->isVisible(); }));
        EXPECT_TRUE(w.window.BitBtn10->isVisible());
        EXPECT_NE(w.window.Memo1->viewport()->cursor().shape(), Qt::BusyCursor);
        ASSERT_TRUE(peer.Finish()) << peer.Failure();
        const std::vector<uint8_t>& got = peer.Received();
        EXPECT_EQ(std::vector<uint8_t>(got.end() - 10, got.end()), abortPdu);
    }
}

TEST(WindowFeedback, EndAsksWhileAJobRuns) {
    Window w;
    ScriptedPeer peer(silentAfterRequest());
    w.pointAt("QUIET", peer.PortText());
    w.window.show();
    w.window.BitBtn4->click();
    ASSERT_TRUE(WaitFor([&] { return w.statusShown("ECHO: negotiating"); }));

    QString question;
    {
        ModalAnswers answers;
        answers.Then("EndConfirmation", [&](QWidget* box) {
            question = static_cast<QMessageBox*>(box)->text();
            static_cast<QMessageBox*>(box)->button(QMessageBox::No)->click();
        });
        w.window.BitBtn5->click();
    }
    EXPECT_EQ(question, "A job is running. Abort it and quit?");
    EXPECT_TRUE(w.window.isVisible());
    EXPECT_EQ(w.window.JobsRunning(), 1);

    {
        ModalAnswers answers;
        answers.Then("EndConfirmation", [](QWidget* box) {
            static_cast<QMessageBox*>(box)->button(QMessageBox::Yes)->click();
        });
        w.window.BitBtn5->click();
    }
    EXPECT_FALSE(w.window.isVisible());
    EXPECT_EQ(w.window.JobsRunning(), 0) << "the job was aborted before the window went";
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
    const std::vector<uint8_t>& got = peer.Received();
    EXPECT_EQ(std::vector<uint8_t>(got.end() - 10, got.end()), abortPdu);
}

// Many lines wider than the pane: the verdict, the last line, is in view from its first column.
TEST(WindowFeedback, VerdictLineStaysInView) {
    Window w;
    JobBodyTable bodies;
    bodies.Register("ECHO", [](JobContext& job) {
        for (int i = 0; i < 300; ++i)
            job.Pane.AppendLine("line " + std::to_string(i) + " " + std::string(300, 'x'));
        return JobOutcome::Failed;
    });
    w.window.Bodies = &bodies;
    w.window.show();
    w.window.BitBtn4->click();
    ASSERT_TRUE(JobsEnded());
    ASSERT_TRUE(WaitFor([&] {
        return PaneLines(w.window).size() == 302 &&
               PaneLines(w.window).back().startsWith("ECHO failed to connect to: ");
    }));
    QCoreApplication::processEvents();
    QPlainTextEdit* pane = w.window.Memo1;
    EXPECT_EQ(pane->verticalScrollBar()->value(), pane->verticalScrollBar()->maximum());
    EXPECT_EQ(pane->horizontalScrollBar()->value(), 0);
    QTextCursor last(pane->document()->lastBlock());
    const QRect shown = pane->cursorRect(last);
    EXPECT_TRUE(pane->viewport()->rect().contains(shown))
        << shown.y() << " of " << pane->viewport()->height();
}

// ISO_IR 100 and ISO_IR 192 names of a peer's answers show as the characters they are; a
// non-ASCII query goes out in Latin-1 and says so. The results open as a sortable table.
TEST(WindowFeedback, NamesInTheirCharacterSetsAndTheResultTable) {
    Window w;
    StudyInfo query;
    query.PatientsName = "MÜLLER*";
    DcmObj identifier;
    BuildStudyQuery(query, identifier);
    auto latin = identifierOf({{0x0008, 0x0005, "ISO_IR 100"},
                               {0x0010, 0x0010, "M\xDCLLER^HANS"},
                               {0x0010, 0x0020, "P2"}});
    auto utf8 = identifierOf(
        {{0x0008, 0x0005, "ISO_IR 192"}, {0x0010, 0x0010, "MÜLLER^ÅSA"}, {0x0010, 0x0020, "P1"}});
    ScriptedPeer peer(queryScript(StudyRootFindSopClass, encode(identifier).size(),
                                  concat(findResponse(StudyRootFindSopClass, 0xFF00, &latin),
                                         findResponse(StudyRootFindSopClass, 0xFF00, &utf8),
                                         findResponse(StudyRootFindSopClass, 0, nullptr))));
    w.pointAt("ARCHIVE", peer.PortText());
    {
        ModalAnswers answers;
        answers.Then("Form3", [](QWidget* form) {
            static_cast<TForm3*>(form)->Edit2->setText(QString::fromUtf8("MÜLLER*"));
            static_cast<TForm3*>(form)->Button1->click();
        });
        w.window.BitBtn7->click();
    }
    ASSERT_TRUE(JobsEnded());
    EXPECT_TRUE(WaitFor([&] { return ResultLines(w.window).contains("FIND OK"); }))
        << PaneLines(w.window).join('|').toStdString();
    const QStringList lines = PaneLines(w.window);
    EXPECT_TRUE(lines.contains(QString::fromUtf8("PatientName: MÜLLER^HANS")));
    EXPECT_TRUE(lines.contains(QString::fromUtf8("PatientName: MÜLLER^ÅSA")));
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
    const std::string sent(peer.Received().begin(), peer.Received().end());
    EXPECT_NE(sent.find("ISO_IR 100"), std::string::npos);
    EXPECT_NE(sent.find("M\xDCLLER*"), std::string::npos);

    const int line = static_cast<int>(lines.indexOf(QString::fromUtf8("PatientName: MÜLLER^HANS")));
    ASSERT_TRUE(w.window.ShowResultTable(line));
    auto* table = w.window.findChild<QDialog*>("ResultTable");
    ASSERT_NE(table, nullptr);
    auto* view = table->findChild<QTableView*>("ResultView");
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(view->isSortingEnabled());
    QAbstractItemModel* model = view->model();
    ASSERT_EQ(model->rowCount(), 2);
    EXPECT_EQ(model->headerData(0, Qt::Horizontal).toString(), "PatientName");
    EXPECT_EQ(model->headerData(1, Qt::Horizontal).toString(), "PatientID");
    view->sortByColumn(1, Qt::AscendingOrder);
    EXPECT_EQ(model->index(0, 1).data().toString(), "P1");
    EXPECT_EQ(model->index(0, 0).data().toString(), QString::fromUtf8("MÜLLER^ÅSA"));
    EXPECT_FALSE(w.window.ShowResultTable(0 + static_cast<int>(lines.indexOf("FIND OK")) + 5000));
    table->close();
}
