// veskaro-screenshots OUTDIR: shows the real main window and dialogs on the display (Xvfb in
// tools/screenshots.sh) and saves what the screen shows of each as a PNG file.

#include "Dicomtest.h"
#include "JobControl.h"
#include "Qfilter.h"
#include "RetrieveDialog.h"
#include "SetupDialog.h"
#include "SlateClassico.h"
#include "Tsselect.h"
#include "VeskaroApplication.h"
#include "WorkflowDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>

#include <cstdio>
#include <functional>

namespace {

void settle(int milliseconds = 400) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

bool shoot(QWidget* window, const QString& dir, const char* name) {
    settle();
    QScreen* screen = window->screen();
    QRect frame = window->frameGeometry();
    QPixmap shot = screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    QString file = dir + QLatin1Char('/') + QString::fromLatin1(name) + QStringLiteral(".png");
    bool ok = !shot.isNull() && shot.save(file);
    std::printf("%s %s (%dx%d)\n", ok ? "wrote" : "FAILED", qPrintable(file), shot.width(),
                shot.height());
    return ok;
}

// Runs act on the modal window named name as soon as it is shown; true once scheduled.
bool whenModal(const QString& name, std::function<void(QWidget*)> act) {
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, name, act = std::move(act)] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || modal->objectName() != name || !modal->isVisible())
            return;
        timer->stop();
        timer->deleteLater();
        act(modal);
    });
    timer->start(50);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: veskaro-screenshots OUTDIR\n", stderr);
        return 2;
    }
    VeskaroApplication app(argc, argv);
    ApplySlateClassico(app);
    QApplication::setApplicationName(QStringLiteral("Veskaro"));
    const QString out = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QDir().mkpath(out);

    // A start directory of its own, so no settings file or log lands where the script runs.
    QTemporaryDir start;
    QDir::setCurrent(start.path());

    bool ok = true;
    TForm1 window;
    window.move(40, 40);
    window.show();
    // The pane as the Dump button fills it, from a sample file when the machine has one.
    const QString sample =
        QStringLiteral("/usr/lib/python3/dist-packages/pydicom/data/test_files/CT_small.dcm");
    if (QFileInfo::exists(sample)) {
        whenModal(QStringLiteral("OpenDialog1"), [&](QWidget* dialog) {
            if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                name->setText(sample);
            static_cast<QDialog*>(dialog)->accept();
        });
        window.Dump();
    }
    ok &= shoot(&window, out, "main-window");

    QToolTip::showText(window.BitBtn4->mapToGlobal(QPoint(30, 50)), window.BitBtn4->toolTip(),
                       window.BitBtn4);
    ok &= shoot(&window, out, "main-window-tooltip");
    QToolTip::hideText();

    window.Form2->show();
    ok &= shoot(window.Form2, out, "setup-network");
    window.Form2->PageControl1->setCurrentIndex(1);
    ok &= shoot(window.Form2, out, "setup-printer");
    window.Form2->PageControl1->setCurrentIndex(3);
    ok &= shoot(window.Form2, out, "setup-workflow");
    window.Form2->PageControl1->setCurrentIndex(0);
    window.Form2->hide();

    window.Form3->show();
    window.Form3->CheckBox1->setChecked(true);
    ok &= shoot(window.Form3, out, "query-filter");
    window.Form3->hide();

    window.Form4->show();
    ok &= shoot(window.Form4, out, "transfer-syntax");
    window.Form4->hide();

    // The two message boxes come from the window's own operations, answered once shot.
    ok &= whenModal(QStringLiteral("Form3"), [&](QWidget* filter) {
        ok &= shoot(filter, out, "query-filter-activated");
        whenModal(QStringLiteral("NoFilterWarning"), [&](QWidget* box) {
            ok &= shoot(box, out, "no-filter-warning");
            static_cast<QMessageBox*>(box)->button(QMessageBox::Cancel)->click();
        });
        window.Form3->Button1->click();
    });
    window.Query();
    whenModal(QStringLiteral("AboutBox"), [&](QWidget* box) {
        ok &= shoot(box, out, "about");
        static_cast<QMessageBox*>(box)->button(QMessageBox::Ok)->click();
    });
    window.About();

    // Keyboard focus on a toolbar button, as Tab from the pane leaves it.
    window.activateWindow();
    window.BitBtn6->setFocus(Qt::TabFocusReason);
    ok &= shoot(&window, out, "main-window-focus");

    // The jobs' feedback. Stand-in bodies report a store's progress as the transport does and
    // write query results in the pane's format, so no peer is needed here.
    JobBodyTable bodies;
    bodies.Register("STORE", [](JobContext& job) {
        JobControl* control = CurrentJobControl();
        if (BatchControl* batch = job.Inputs.Control.get()) {
            // A folder's store: the files counted as they go.
            BatchProgress p;
            p.FilesTotal = 5;
            for (; !control->IsCancelled() && !batch->Cancelled; QThread::msleep(50))
                if (p.FilesDone < 2) {
                    ++p.FilesDone;
                    batch->Progress(p);
                }
            job.Pane.AppendLine("Cancelled");
            job.Pane.AppendLine("Sent: 2, failed: 0, skipped: 0, associations: 1");
            job.Reason = "cancelled after 2 files";
            return JobOutcome::Failed;
        }
        control->SetStep(JobStep::Connecting);
        QThread::msleep(200);
        control->SetStep(JobStep::Sending);
        control->SetBytesTotal(524'000'000);
        for (int i = 0; i < 600 && !control->IsCancelled(); ++i) {
            control->AddBytesSent(300'000);
            QThread::msleep(50);
        }
        (void)job;
        return JobOutcome::Failed;
    });
    bodies.Register("FIND", [](JobContext& job) {
        const char* const studies[][4] = {{"MÜLLER^HANS", "P2", "20240102", "CT"},
                                          {"ŁUKASIEWICZ^JAN", "P7", "20231120", "MR"},
                                          {"山田^太郎", "P1", "20240315", "US"}};
        job.Pane.AppendLine("");
        for (const auto& study : studies) {
            job.Pane.AppendLine(std::string("PatientName: ") + study[0]);
            job.Pane.AppendLine(std::string("PatientID: ") + study[1]);
            job.Pane.AppendLine("StudyID: S" + std::string(study[1]));
            job.Pane.AppendLine(std::string("ModalitiesInStudy: ") + study[3]);
            job.Pane.AppendLine(std::string("StudyDate: ") + study[2]);
            job.Pane.AppendLine("");
        }
        job.Pane.AppendLine("No studies: 3");
        job.ResultDetail.clear();
        return JobOutcome::Succeeded;
    });
    window.Bodies = &bodies;
    SetSettingsText(window.State.Settings.RemoteAET, "ARCHIVE");
    SetSettingsText(window.State.Settings.RemotePort, "11112");
    const QString image = start.filePath(QStringLiteral("ct-series.dcm"));
    QFile(image).open(QIODevice::WriteOnly);
    whenModal(QStringLiteral("Form4"), [&](QWidget* form) {
        static_cast<TForm4*>(form)->Button1->click();
        whenModal(QStringLiteral("OpenDialog1"), [&](QWidget* dialog) {
            if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                name->setText(image);
            static_cast<QDialog*>(dialog)->accept();
        });
    });
    window.Store();
    settle(2500);
    ok &= shoot(&window, out, "progress-mid-store");

    whenModal(QStringLiteral("EndConfirmation"), [&](QWidget* box) {
        ok &= shoot(box, out, "end-confirmation");
        static_cast<QMessageBox*>(box)->button(QMessageBox::No)->click();
    });
    window.close();

    window.CancelJobs();
    for (int i = 0; i < 50 && window.JobsRunning() > 0; ++i)
        settle(100);
    ok &= shoot(&window, out, "cancelled");

    whenModal(QStringLiteral("Form3"), [&](QWidget* filter) {
        static_cast<TForm3*>(filter)->Edit2->setText(QStringLiteral("*"));
        static_cast<TForm3*>(filter)->Button1->click();
    });
    window.Query();
    for (int i = 0; i < 50 && window.JobsRunning() > 0; ++i)
        settle(100);
    ok &= shoot(&window, out, "query-results");
    const QStringList lines = window.Memo1->toPlainText().split(QLatin1Char('\n'));
    if (window.ShowResultTable(static_cast<int>(lines.size()) / 2)) {
        if (auto* table = window.findChild<QDialog*>(QStringLiteral("ResultTable"))) {
            table->move(80, 120);
            ok &= shoot(table, out, "query-table");
            table->close();
        }
    } else {
        ok = false;
    }

    // The workflow actions: their menu, their dialogs, a folder's store and a workflow run.
    window.Memo1->clear();
    QTimer::singleShot(300, &window, [&] {
        ok &= shoot(&window, out, "workflow-menu");
        window.WorkflowMenu->close();
    });
    window.BitBtn11->showMenu();
    {
        TWorkflowForm form(window.State, TWorkflowForm::Item | TWorkflowForm::Files,
                           QStringLiteral("Run the workflow"), &window);
        form.ItemList->addItem(
            QStringLiteral("1. Roe^Jane (PID881), accession ACC881, 20240305 CT, CT Chest"));
        form.ItemList->addItem(
            QStringLiteral("2. Doe^John (PID882), accession ACC882, 20240305 MR, MR Knee"));
        form.ItemList->setCurrentRow(0);
        form.ItemStatus->setText(QStringLiteral("Worklist items: 2"));
        form.AddPaths({image, start.filePath(QStringLiteral("series2"))});
        form.move(60, 80);
        form.show();
        ok &= shoot(&form, out, "workflow-dialog");
    }
    {
        TWorkflowForm form(window.State,
                           TWorkflowForm::MppsInstance | TWorkflowForm::Files |
                               TWorkflowForm::FilesOptional,
                           QStringLiteral("MPPS discontinued"), &window);
        form.MppsUidEdit->setText(QStringLiteral("1.2.826.0.1.3680043.9.7133.2.20261209153000"));
        form.AddPaths({image});
        form.move(60, 80);
        form.show();
        ok &= shoot(&form, out, "mpps-dialog");
    }
    {
        TRetrieveForm form(&window);
        form.StudyUidEdit->setText(QStringLiteral("1.3.6.1.4.1.5962.1.2.1.20040119072730.12322"));
        form.LevelBox->setCurrentIndex(1);
        form.move(60, 80);
        form.show();
        ok &= shoot(&form, out, "retrieve-dialog");
    }

    whenModal(QStringLiteral("Form4"), [&](QWidget* form) {
        static_cast<TForm4*>(form)->Button1->click();
        whenModal(QStringLiteral("OpenDialog1"), [&](QWidget* dialog) {
            if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                name->setText(start.path());
            static_cast<QDialog*>(dialog)->accept();
        });
    });
    window.StoreFolder();
    settle(1500);
    ok &= shoot(&window, out, "progress-folder-store");
    window.CancelJobs();
    for (int i = 0; i < 50 && window.JobsRunning() > 0; ++i)
        settle(100);

    bodies.Register("WORKFLOW", [](JobContext& job) {
        const char* const lines[] = {
            "Worklist items: 1",
            "Item 1: Roe^Jane (PID881), accession ACC881, study 1.2.826.0.1.3680043.2.1143.881",
            "\u2713 1 worklist query (0.04 s)",
            "MPPS IN PROGRESS: 1.2.826.0.1.3680043.9.7133.2.20261209153000",
            "\u2713 2 MPPS in progress (0.03 s)",
            "Sent: 2, failed: 0, skipped: 0, associations: 1",
            "\u2713 3 store (0.21 s)",
            "MPPS COMPLETED: 1.2.826.0.1.3680043.9.7133.2.20261209153000, instances: 2",
            "\u2713 4 MPPS completed (0.02 s)",
            "\u2717 5 storage commitment (30.01 s)"};
        for (const char* line : lines)
            job.Pane.AppendLine(line);
        job.Reason = "no N-EVENT-REPORT within 30 s";
        return JobOutcome::Failed;
    });
    window.Form3->Edit2->clear();
    whenModal(QStringLiteral("Form3"), [&](QWidget* filter) {
        static_cast<TForm3*>(filter)->Button1->click();
        whenModal(QStringLiteral("WorkflowForm"), [&](QWidget* dialog) {
            auto* form = static_cast<TWorkflowForm*>(dialog);
            form->ItemList->addItem(QStringLiteral("1. Roe^Jane (PID881)"));
            form->ItemList->setCurrentRow(0);
            form->AddPaths({image});
            form->OkButton->click();
        });
    });
    window.RunWorkflow();
    for (int i = 0; i < 50 && window.JobsRunning() > 0; ++i)
        settle(100);
    ok &= shoot(&window, out, "workflow-run");
    return ok ? 0 : 1;
}
