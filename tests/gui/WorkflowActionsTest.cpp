// The window's workflow actions against real peers: the whole scheduled workflow against
// Orthanc and the scripted MPPS peer, and a Cancel in the middle of a folder's store.

#include "DcmObj.h"
#include "DcmtkPeer.h"
#include "DicomFileWriter.h"
#include "DimsePeer.h"
#include "GuiTestSupport.h"
#include "JobBodies.h"
#include "OrthancPeer.h"
#include "Qfilter.h"
#include "RetrieveDialog.h"
#include "SetupDialog.h"
#include "TestSupport.h"
#include "Tsselect.h"
#include "WorkflowDialog.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>

#include <fstream>

using guitest::ChooseFile;
using guitest::InDirectory;
using guitest::JobsEnded;
using guitest::ModalAnswers;
using guitest::PaneLines;
using guitest::WaitFor;
using testsupport::DcmtkPeer;
using testsupport::DimsePeer;
using testsupport::OrthancPeer;
using testsupport::TempDir;
namespace fs = std::filesystem;

namespace {

const std::string samples = "/usr/lib/python3/dist-packages/pydicom/data/test_files/";

const char* const worklistEntry = R"((0008,0005) CS [ISO_IR 100]
(0008,0050) SH [ACC882]
(0010,0010) PN [Doe^Window]
(0010,0020) LO [PID882]
(0020,000d) UI [1.2.826.0.1.3680043.2.1143.882]
(0032,1060) LO [CT Chest]
(0040,0100) SQ (Sequence with undefined length)
(fffe,e000) na (Item with undefined length)
(0008,0060) CS [CT]
(0040,0001) AE [VESKARO]
(0040,0002) DA [20240305]
(0040,0003) TM [080000]
(0040,0009) SH [SPS882]
(fffe,e00d) na (ItemDelimitationItem)
(fffe,e0dd) na (SequenceDelimitationItem)
(0040,1001) SH [RP882]
)";

QString paneText(const TForm1& window) {
    return PaneLines(window).join(QLatin1Char('\n'));
}

void pointAt(TForm1& window, const std::string& aet, int port) {
    SetSettingsText(window.State.Settings.LocalAET, "VESKARO");
    SetSettingsText(window.State.Settings.RemoteHost, "127.0.0.1");
    SetSettingsText(window.State.Settings.RemoteAET, aet);
    SetSettingsText(window.State.Settings.RemotePort, std::to_string(port));
}

} // namespace

// The menu's Run the workflow: the filter, the worklist's items listed in the dialog, the
// files added, then each step with its mark and time in the job's block.
TEST(WindowWorkflow, RunsEveryStepFromTheMenu) {
    if (!testsupport::havePeers({"Orthanc", "dump2dcm"}) || !testsupport::haveDimsePeer())
        GTEST_SKIP();
    TempDir work, archive, mppsDir;
    InDirectory in(work.path());
    const int localPort = testsupport::FreeLoopbackPort();
    OrthancPeer orthanc(archive.path().string(), "VESKARO", localPort);
    ASSERT_TRUE(orthanc.Ready());
    std::ofstream(archive.file("entry.dump")) << worklistEntry;
    ASSERT_EQ(testsupport::runCommand(
                  "dump2dcm " + testsupport::shellQuote(archive.file("entry.dump").string()) + " " +
                  testsupport::shellQuote(orthanc.WorklistDir() + "/entry.wl"))
                  .exitStatus,
              0);
    DimsePeer mpps(mppsDir.path().string());
    ASSERT_TRUE(mpps.Ready());

    JobBodyTable bodies;
    RegisterServiceJobBodies(bodies);
    TForm1 window;
    window.Bodies = &bodies;
    pointAt(window, "ORTHANC", orthanc.Port());
    window.State.Extra.LocalPort = localPort;
    window.State.Extra.CommitWaitSeconds = 30;
    window.State.Extra.MppsHost = "127.0.0.1";
    window.State.Extra.MppsPort = std::to_string(mpps.Port());
    window.State.Extra.MppsAETitle = "MPPS";

    ModalAnswers answers;
    answers.Then("Form3", [](QWidget* w) { static_cast<TForm3*>(w)->Button1->click(); })
        .Then("WorkflowForm", [&](QWidget* w) {
            auto& form = *static_cast<TWorkflowForm*>(w);
            EXPECT_FALSE(form.OkButton->isEnabled());
            ASSERT_TRUE(WaitFor([&] { return form.ItemList->count() == 1; }, 4000))
                << form.ItemStatus->text().toStdString();
            EXPECT_EQ(form.ItemList->item(0)->text(),
                      "1. Doe^Window (PID882), accession ACC882, 20240305 CT, CT Chest");
            EXPECT_EQ(form.ItemStatus->text(), "Worklist items: 1");
            EXPECT_FALSE(form.OkButton->isEnabled()) << "no files yet";
            form.AddPaths({QString::fromStdString(samples + "CT_small.dcm"),
                           QString::fromStdString(samples + "MR_small.dcm")});
            form.OkButton->click();
        });
    QAction* run = window.WorkflowMenu->findChild<QAction*>(QStringLiteral("WorkflowAction"));
    ASSERT_NE(run, nullptr);
    run->trigger();
    EXPECT_TRUE(
        WaitFor([&] { return paneText(window).contains(QStringLiteral("\nWORKFLOW ")); }, 90000));
    EXPECT_TRUE(JobsEnded());
    const QString text = paneText(window);
    std::cout << text.toStdString() << "\n";
    QStringList steps;
    for (const QString& line : PaneLines(window))
        if (line.startsWith(QStringLiteral("\u2713")) || line.startsWith(QStringLiteral("\u2717")))
            steps << line.section(QStringLiteral(" ("), 0, 0);
    EXPECT_EQ(steps, (QStringList{"\u2713 1 worklist query", "\u2713 2 MPPS in progress",
                                  "\u2713 3 store", "\u2713 4 MPPS completed",
                                  "\u2713 5 storage commitment", "\u2713 6 study query back"}));
    EXPECT_TRUE(text.contains("\nCommitted: 2, failed: 0\n"));
    EXPECT_TRUE(text.endsWith("\nWORKFLOW OK")) << text.toStdString();
    EXPECT_EQ(mpps.First("N-SET")["sopInstance"], mpps.First("N-CREATE")["sopInstance"]);

    // Completed again from the menu: the dialog offers the step the pane shows as started.
    ModalAnswers again;
    again.Then("WorkflowForm", [](QWidget* w) {
        auto& form = *static_cast<TWorkflowForm*>(w);
        EXPECT_TRUE(form.ItemList->isHidden());
        EXPECT_FALSE(form.MppsUidEdit->text().isEmpty());
        EXPECT_FALSE(form.OkButton->isEnabled()) << "completed needs its files";
        form.CancelButton->click();
    });
    window.MppsFinal(true);
    EXPECT_EQ(window.StartedJobs(), 1);
}

// A folder stored from the menu counts its files on the progress bar; Cancel aborts the
// association after the file in flight, and the block says what was sent.
TEST(WindowWorkflow, CancelStopsAFoldersStore) {
    if (!testsupport::havePeers({"storescp"}))
        GTEST_SKIP();
    TempDir work, input, received;
    InDirectory in(work.path());
    for (int i = 0; i < 4; ++i) {
        DcmObj dataSet;
        dataSet.transferSyntax = ExplicitLittleEndian;
        dataSet.explicitVR = 1;
        dataSet.AddString(0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.7");
        dataSet.AddString(0x0008, 0x0018, "1.2.826.0.1.3680043.9.7133.19." + std::to_string(i));
        dataSet.AddString(0x0010, 0x0020, "FOLDER1");
        testsupport::writeDicomFile(input.file("f" + std::to_string(i) + ".dcm"), dataSet);
    }
    DcmtkPeer peer("storescp", {"--aetitle", "ARCHIVE", "--sleep-during", "2"},
                   received.path().string());
    ASSERT_TRUE(peer.Ready());

    JobBodyTable bodies;
    RegisterServiceJobBodies(bodies);
    TForm1 window;
    window.Bodies = &bodies;
    pointAt(window, "ARCHIVE", peer.Port());
    ModalAnswers answers;
    answers.Then("Form4", [](QWidget* w) { static_cast<TForm4*>(w)->Button1->click(); })
        .Then("OpenDialog1", ChooseFile(input.path()));
    window.StoreFolder();
    ASSERT_EQ(window.JobsRunning(), 1);
    ASSERT_TRUE(WaitFor([&] { return window.ProgressBar1->value() == 1; }, 20000))
        << paneText(window).toStdString();
    EXPECT_EQ(window.ProgressBar1->maximum(), 4);
    EXPECT_EQ(window.ProgressBar1->text(), "1/4 files");
    window.CancelButton->click();
    EXPECT_TRUE(
        WaitFor([&] { return paneText(window).contains(QStringLiteral("\nSTORE f")); }, 10000));
    EXPECT_TRUE(JobsEnded());
    const QStringList lines = PaneLines(window);
    EXPECT_TRUE(lines.contains("Cancelled")) << paneText(window).toStdString();
    EXPECT_TRUE(lines.contains(CancelledReason));
    EXPECT_TRUE(lines
                    .filter(QRegularExpression("^Sent: [12], failed: [01], skipped: 0, "
                                               "associations: 1$"))
                    .size() == 1)
        << paneText(window).toStdString();
    EXPECT_EQ(lines.constLast(), "STORE failed to connect to: ARCHIVE (127.0.0.1:" +
                                     QString::number(peer.Port()) + ")");
    EXPECT_TRUE(window.ProgressPanel->isHidden());
}

// The workflow page of the Setup dialog keeps its values in veskaro-extra.cfg.
TEST(WindowWorkflow, SetupKeepsTheWorkflowSettings) {
    TempDir work;
    InDirectory in(work.path());
    TForm1 window;
    TForm2& setup = *window.Form2;
    EXPECT_EQ(setup.LocalPortEdit->text(), "11112");
    EXPECT_EQ(setup.CommitWaitEdit->text(), "30");
    setup.LocalPortEdit->setText("4242");
    setup.MppsHostEdit->setText("127.0.0.1");
    setup.MppsPortEdit->setText("4243");
    setup.MppsAetEdit->setText("PPSMGR");
    setup.CommitWaitEdit->setText("");
    setup.BitBtn1->click();
    ExtraSettings saved = LoadExtraSettings(ExtraSettingsFileName(window.State.StartDir));
    EXPECT_EQ(saved.LocalPort, 4242);
    EXPECT_EQ(saved.MppsHost, "127.0.0.1");
    EXPECT_EQ(saved.MppsPort, "4243");
    EXPECT_EQ(saved.MppsAETitle, "PPSMGR");
    EXPECT_EQ(saved.CommitWaitSeconds, 30) << "an emptied number keeps its value";
    EXPECT_EQ(window.State.Extra.MppsAETitle, "PPSMGR");
    ModalAnswers answers;
    answers.Then("Form2", [&](QWidget*) {
        setup.LocalPortEdit->setText("99999");
        setup.BitBtn1->click();
    });
    window.Setup();
    EXPECT_EQ(LoadExtraSettings(ExtraSettingsFileName(window.State.StartDir)).LocalPort, 4242);
}

// A study the query showed, retrieved with C-GET from the pane's menu entry: the dialog takes
// the study's UID from the result, and the object lands under "received".
TEST(WindowWorkflow, RetrievesAStudyTheQueryShowed) {
    if (!testsupport::havePeers({"dcmqrscp", "storescu"}))
        GTEST_SKIP();
    TempDir work, archive;
    InDirectory in(work.path());
    std::unique_ptr<DcmtkPeer> peer = testsupport::StartQueryScp(archive.path().string());
    ASSERT_TRUE(peer->Ready());
    ASSERT_EQ(testsupport::runCommand("storescu -aec ARCHIVE 127.0.0.1 " +
                                      std::to_string(peer->Port()) + " " +
                                      testsupport::shellQuote(samples + "CT_small.dcm"))
                  .exitStatus,
              0);
    const QString study = QStringLiteral("1.3.6.1.4.1.5962.1.2.1.20040119072730.12322");

    JobBodyTable bodies;
    RegisterServiceJobBodies(bodies);
    TForm1 window;
    window.Bodies = &bodies;
    pointAt(window, "ARCHIVE", peer->Port());
    {
        ModalAnswers answers;
        answers.Then("Form3", [](QWidget* w) {
            static_cast<TForm3*>(w)->Edit2->setText(QStringLiteral("Compressed*"));
            static_cast<TForm3*>(w)->Button1->click();
        });
        window.Query();
    }
    ASSERT_TRUE(WaitFor([&] { return PaneLines(window).contains("FIND OK"); }, 20000))
        << paneText(window).toStdString();
    const QStringList lines = PaneLines(window);
    const int patient = static_cast<int>(lines.indexOf("PatientID: 1CT1"));
    ASSERT_GE(patient, 0) << paneText(window).toStdString();
    EXPECT_EQ(window.StudyUidAt(patient), study);
    EXPECT_EQ(window.StudyUidAt(static_cast<int>(lines.indexOf("FIND OK"))), QString());

    ModalAnswers answers;
    answers.Then("RetrieveForm", [&](QWidget* w) {
        auto& form = *static_cast<TRetrieveForm*>(w);
        EXPECT_EQ(form.StudyUidEdit->text(), study);
        EXPECT_TRUE(form.MoveButton->isChecked());
        form.LevelBox->setCurrentIndex(1);
        EXPECT_FALSE(form.OkButton->isEnabled()) << "series level without its UID";
        form.LevelBox->setCurrentIndex(0);
        form.GetButton->click();
        form.OkButton->click();
    });
    window.Retrieve(window.StudyUidAt(patient));
    ASSERT_TRUE(WaitFor([&] { return PaneLines(window).contains("GET OK"); }, 30000))
        << paneText(window).toStdString();
    EXPECT_TRUE(JobsEnded());
    EXPECT_TRUE(paneText(window).contains("\nFiles received: 1 in " +
                                          QString::fromStdString(work.file("received").string())))
        << paneText(window).toStdString();
    EXPECT_EQ(std::distance(fs::directory_iterator(work.file("received")), {}), 1);
}
