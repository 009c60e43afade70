#include "Dicomtest.h"

#include "DcmObj.h"
#include "DiagnoseJob.h"
#include "DumpText.h"
#include "FileVersion.h"
#include "Log.h"
#include "MainThread.h"
#include "PaneBlocks.h"
#include "PaneFont.h"
#include "Pictograms.h"
#include "Qfilter.h"
#include "RetrieveDialog.h"
#include "SetupDialog.h"
#include "TransferSyntaxItems.h"
#include "Tsselect.h"
#include "WindowPane.h"
#include "WorkflowDialog.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCloseEvent>
#include <QCompleter>
#include <QDesktopServices>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QStandardItemModel>
#include <QTableView>
#include <QTextBlock>
#include <QThread>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include <filesystem>
#include <system_error>
#include <vector>

std::atomic<int> TForm1::runningJobs_{0};

namespace {

constexpr int toolbarHeight = 73;
constexpr int bottomHeight = 95;
constexpr int iconButtonSize = 55;

QToolButton* iconButton(QWidget* panel, const char* name, Pictogram pictogram, const char* hint,
                        int left, int top, const char* shortcut = nullptr) {
    auto* button = new QToolButton(panel);
    button->setObjectName(QString::fromLatin1(name));
    button->setIcon(PictogramIcon(pictogram));
    button->setIconSize(QSize(40, 40));
    QString tip = QString::fromLatin1(hint);
    if (shortcut) {
        QKeySequence keys(QString::fromLatin1(shortcut));
        button->setShortcut(keys);
        tip += QStringLiteral(" (") + keys.toString(QKeySequence::NativeText) + QLatin1Char(')');
    }
    button->setToolTip(tip);
    button->setFixedSize(iconButtonSize, iconButtonSize);
    button->move(left, top);
    return button;
}

QFrame* panel(const char* name, int height) {
    auto* frame = new QFrame;
    frame->setObjectName(QString::fromLatin1(name));
    frame->setFixedHeight(height);
    return frame;
}

} // namespace

TForm1::TForm1(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Veskaro"));
    setWindowIcon(PictogramIcon(Pictogram::Echo));
    setAttribute(Qt::WA_AlwaysShowToolTips);

    // The start directory is fixed here, before any dialog could change the current directory.
    std::error_code error;
    InitStartDir(State, std::filesystem::current_path(error).string());

    const int top = (toolbarHeight - iconButtonSize) / 2;
    Panel2 = panel("Panel2", toolbarHeight);
    BitBtn2 = iconButton(Panel2, "BitBtn2", Pictogram::Setup, "Setup", 8, top, "Ctrl+,");
    BitBtn4 =
        iconButton(Panel2, "BitBtn4", Pictogram::Echo, "Echo - Verification", 69, top, "Ctrl+E");
    BitBtn6 = iconButton(Panel2, "BitBtn6", Pictogram::Store, "Store to PACS", 130, top, "Ctrl+S");
    BitBtn7 = iconButton(Panel2, "BitBtn7", Pictogram::Query, "Query PACS", 191, top, "Ctrl+F");
    BitBtn8 =
        iconButton(Panel2, "BitBtn8", Pictogram::Worklist, "Query WorkList", 252, top, "Ctrl+W");
    BitBtn9 = iconButton(Panel2, "BitBtn9", Pictogram::Print, "DICOM Print", 313, top, "Ctrl+P");
    BitBtn11 = iconButton(Panel2, "BitBtn11", Pictogram::Workflow, "Modality Workflow", 374, top);
    BitBtn11->setPopupMode(QToolButton::InstantPopup);
    WorkflowMenu = new QMenu(BitBtn11);
    WorkflowMenu->setObjectName(QStringLiteral("WorkflowMenu"));
    auto action = [this](const char* name, const char* text, auto slot) {
        QAction* item = WorkflowMenu->addAction(QString::fromUtf8(text));
        item->setObjectName(QString::fromLatin1(name));
        connect(item, &QAction::triggered, this, slot);
    };
    action("StoreFilesAction", "Store several files\u2026", [this] { StoreFiles(); });
    action("StoreFolderAction", "Store a folder\u2026", [this] { StoreFolder(); });
    WorkflowMenu->addSeparator();
    action("MppsStartAction", "MPPS in progress\u2026", [this] { MppsStart(); });
    action("MppsCompleteAction", "MPPS completed\u2026", [this] { MppsFinal(true); });
    action("MppsDiscontinueAction", "MPPS discontinued\u2026", [this] { MppsFinal(false); });
    action("CommitAction", "Storage commitment\u2026", [this] { Commit(); });
    action("RetrieveAction", "Retrieve\u2026", [this] { Retrieve(); });
    WorkflowMenu->addSeparator();
    action("WorkflowAction", "Run the workflow\u2026", [this] { RunWorkflow(); });
    BitBtn11->setMenu(WorkflowMenu);
    BitBtn1 = iconButton(Panel2, "BitBtn1", Pictogram::Dump, "Dump DICOM File", 435, top, "Ctrl+D");
    BitBtn3 = iconButton(Panel2, "BitBtn3", Pictogram::About, "About", 496, top);

    Memo1 = new QPlainTextEdit;
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setReadOnly(true);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Dump lines keep their columns: no wrapping, a horizontal bar when a line is too long.
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setFont(PaneFont());

    Panel1 = panel("Panel1", bottomHeight);
    BitBtn10 = new QPushButton(QString::fromLatin1(BannerText), Panel1);
    BitBtn10->setObjectName(QStringLiteral("BitBtn10"));
    BitBtn10->setFixedSize(489, 73);
    BitBtn10->move(4, (bottomHeight - 73) / 2);
    QFont banner(QStringLiteral("Arial Black"));
    banner.setBold(true);
    banner.setPixelSize(40);
    BitBtn10->setFont(banner);
    BitBtn5 = iconButton(Panel1, "BitBtn5", Pictogram::End, "End Application", 496,
                         (bottomHeight - iconButtonSize) / 2);

    ProgressPanel = new QWidget(Panel1);
    ProgressPanel->setObjectName(QStringLiteral("ProgressPanel"));
    ProgressPanel->setGeometry(BitBtn10->geometry());
    ProgressBar1 = new QProgressBar;
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setTextVisible(true);
    CancelButton = new QPushButton(QStringLiteral("Cancel"));
    CancelButton->setObjectName(QStringLiteral("CancelButton"));
    CancelButton->setToolTip(QStringLiteral("Abort the running job (Esc)"));
    CancelButton->setMinimumSize(90, 34);
    auto* progressLayout = new QHBoxLayout(ProgressPanel);
    progressLayout->setContentsMargins(8, 0, 8, 0);
    progressLayout->addWidget(ProgressBar1, 1);
    progressLayout->addWidget(CancelButton);
    ProgressPanel->hide();

    auto* client = new QWidget;
    auto* layout = new QVBoxLayout(client);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(Panel2);
    layout->addWidget(Memo1, 1);
    layout->addWidget(Panel1);
    setCentralWidget(client);
    // The toolbar and the bottom panel stay whole.
    client->setMinimumSize(496 + iconButtonSize + 8, toolbarHeight + bottomHeight + 60);
    resize(583, 411);

    Blocks = new PaneBlocks(Memo1);
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), Memo1);
    escape->setContext(Qt::WidgetWithChildrenShortcut);
    connect(escape, &QShortcut::activated, this, &TForm1::CancelJobs);
    Memo1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(Memo1, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        std::unique_ptr<QMenu> menu(Memo1->createStandardContextMenu(at));
        const int line = Memo1->cursorForPosition(at).blockNumber();
        QAction* table = menu->addAction(QStringLiteral("Show the results as a table"));
        table->setEnabled(ShowResultTable(-1 - line));
        const QString study = StudyUidAt(line);
        QAction* retrieve = menu->addAction(QStringLiteral("Retrieve this study\u2026"));
        retrieve->setEnabled(!study.isEmpty());
        QAction* chosen = menu->exec(Memo1->viewport()->mapToGlobal(at));
        if (chosen == table)
            ShowResultTable(line);
        else if (chosen == retrieve)
            Retrieve(study);
    });
    progressTimer_.setInterval(200);
    connect(&progressTimer_, &QTimer::timeout, this, &TForm1::updateProgress);

    OpenDialog1 = new QFileDialog(this);
    OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
    OpenDialog1->setFileMode(QFileDialog::ExistingFile);
    OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    OpenDialog1->setNameFilters(
        {QStringLiteral("DICOM Files (*.dcm)"), QStringLiteral("All Files (*)")});
    OpenDialog1->setDirectory(QFile::decodeName(QByteArray::fromStdString(State.StartDir)));

    Form2 = new TForm2(State, this);
    Form3 = new TForm3(State.Filter, this);
    Form4 = new TForm4(this);

    connect(BitBtn2, &QToolButton::clicked, this, &TForm1::Setup);
    connect(BitBtn4, &QToolButton::clicked, this, &TForm1::Echo);
    connect(BitBtn6, &QToolButton::clicked, this, &TForm1::Store);
    connect(BitBtn7, &QToolButton::clicked, this, &TForm1::Query);
    connect(BitBtn8, &QToolButton::clicked, this, &TForm1::Worklist);
    connect(BitBtn9, &QToolButton::clicked, this, &TForm1::Print);
    connect(BitBtn1, &QToolButton::clicked, this, &TForm1::Dump);
    connect(BitBtn3, &QToolButton::clicked, this, &TForm1::About);
    connect(BitBtn10, &QPushButton::clicked, this, &TForm1::Banner);
    connect(Form2, &TForm2::connectionTestRequested, this, &TForm1::TestConnection);
    connect(BitBtn5, &QToolButton::clicked, this, &QWidget::close);
    connect(CancelButton, &QPushButton::clicked, this, &TForm1::CancelJobs);
}

TForm1::~TForm1() = default;

std::unique_ptr<MainThread> TForm1::createJob(const std::string& kind) {
    auto job = std::make_unique<MainThread>();
    job->JobKind = kind;
    job->Bodies = Bodies;
    // The job's pane dies with the job, not with the window, so a job still running when the
    // window goes never writes through a dangling pane.
    job->Pane = new WindowPane(Blocks, kind, job.get());
    return job;
}

void TForm1::startJob(std::unique_ptr<MainThread> job) {
    startJob(std::move(job), CaptureJobInputs(State));
}

void TForm1::startJob(std::unique_ptr<MainThread> job, JobInputs inputs) {
    ++startedJobs_;
    ++runningJobs_;
    MainThread* started = job.get();
    running_.push_back(started);
    connect(
        started, &QThread::finished, started, [] { --runningJobs_; }, Qt::DirectConnection);
    // Queued behind the job's last lines; the job is deleted only after this has run.
    connect(started, &QThread::finished, this, [this, started] {
        std::erase(running_, started);
        batches_.erase(started);
        static_cast<WindowPane*>(started->Pane)->End();
        updateProgress();
    });
    // Deletes itself once it has ended; nothing waits for it.
    StartJob(job.release(), std::move(inputs));
    updateProgress();
    progressTimer_.start();
}

void TForm1::CancelJobs() {
    for (MainThread* job : running_) {
        job->Control.Cancel();
        // Never replaced while the job runs; the commitment's wait listens to this one.
        if (const std::shared_ptr<BatchControl>& batch = job->Inputs.Control)
            batch->Cancelled = true;
    }
    updateProgress();
}

void TForm1::updateProgress() {
    if (running_.empty()) {
        progressTimer_.stop();
        Blocks->SetStatus({});
        ProgressPanel->hide();
        BitBtn10->show();
        Memo1->viewport()->unsetCursor();
        return;
    }
    QStringList status;
    std::uint64_t sent = 0, total = 0;
    std::size_t filesDone = 0, filesTotal = 0;
    bool allKnown = true, cancelling = false;
    for (MainThread* job : running_) {
        JobProgress progress = job->Control.Progress();
        status << QString::fromStdString(JobStatusText(job->JobKind, progress));
        cancelling = cancelling || progress.Cancelled;
        auto batch = batches_.find(job);
        if (batch != batches_.end()) {
            // A batch counts its files: the bytes of the transport include every step's.
            filesDone += batch->second->Done.load();
            filesTotal += batch->second->Total.load();
            allKnown = allKnown && batch->second->Total.load() > 0;
            continue;
        }
        sent += progress.BytesSent;
        total += progress.BytesTotal;
        allKnown = allKnown && progress.BytesTotal > 0;
    }
    Blocks->SetStatus(status);
    if (allKnown && filesTotal > 0 && total == 0) {
        ProgressBar1->setRange(0, static_cast<int>(filesTotal));
        ProgressBar1->setValue(static_cast<int>(std::min(filesDone, filesTotal)));
        ProgressBar1->setFormat(QStringLiteral("%v/%m files"));
    } else if (allKnown && total > 0) {
        // Per mille, so that sizes past 2 GB fit the bar's int.
        ProgressBar1->setRange(0, 1000);
        ProgressBar1->setValue(
            static_cast<int>(std::min<std::uint64_t>(sent, total) * 1000 / total));
        ProgressBar1->setFormat(QStringLiteral("%p%"));
    } else {
        ProgressBar1->setRange(0, 0); // busy
    }
    CancelButton->setEnabled(!cancelling);
    BitBtn10->hide();
    ProgressPanel->show();
    Memo1->viewport()->setCursor(Qt::BusyCursor);
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (running_.empty()) {
        event->accept();
        return;
    }
    QMessageBox box(QMessageBox::Question, QStringLiteral("Veskaro"),
                    QString::fromLatin1(EndQuestion), QMessageBox::Yes | QMessageBox::No, this);
    box.setObjectName(QStringLiteral("EndConfirmation"));
    box.setDefaultButton(QMessageBox::No);
    if (box.exec() != QMessageBox::Yes) {
        event->ignore();
        return;
    }
    CancelJobs();
    // A cancelled job ends within a moment; the threads must not outlive the program.
    QElapsedTimer clock;
    clock.start();
    while (!running_.empty() && clock.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    event->accept();
}

bool TForm1::chooseFile(const QString& title, const QStringList& filters) {
    OpenDialog1->setWindowTitle(title);
    OpenDialog1->setNameFilters(filters);
    OpenDialog1->selectNameFilter(filters.constFirst());
    const bool chosen =
        OpenDialog1->exec() == QDialog::Accepted && !OpenDialog1->selectedFiles().isEmpty();
    // A path typed in full and confirmed with Enter leaves the completion list open, and it
    // would take the next click.
    for (QLineEdit* edit : OpenDialog1->findChildren<QLineEdit*>())
        if (QCompleter* completer = edit->completer())
            completer->popup()->hide();
    if (!chosen)
        return false;
    State.FileName = QFile::encodeName(OpenDialog1->selectedFiles().constFirst()).toStdString();
    return true;
}

namespace {

const QString dicomFilter = QStringLiteral("DICOM Files (*.dcm)");
const QString allFilter = QStringLiteral("All Files (*)");

} // namespace

void TForm1::Setup() {
    Form2->exec();
}

void TForm1::TestConnection(const SettingsRecord& settings) {
    // The pane belongs to the thread, as a job's does, and writes nothing once the window is gone.
    auto* pane = new WindowPane(Blocks, "DIAGNOSE", nullptr);
    const std::string logDir = State.LogDir;
    const ExtraSettings extra = State.Extra;
    QThread* run = QThread::create(
        [settings, logDir, extra, pane] { RunDiagnosis(settings, logDir, *pane, extra); });
    pane->setParent(run);
    connect(run, &QThread::finished, this, [pane] { pane->End(); });
    connect(run, &QThread::finished, run, &QObject::deleteLater);
    run->start();
}

void TForm1::Echo() {
    startJob(createJob("ECHO"));
}

void TForm1::Store() {
    std::unique_ptr<MainThread> job = createJob("STORE");
    if (Form4->exec() != QDialog::Accepted)
        return;
    job->TransferSyntaxUID = TransferSyntaxUIDFor(Form4->TransferSyntaxChoice);
    if (chooseFile(QStringLiteral("Store a DICOM file"), {dicomFilter, allFilter}))
        startJob(std::move(job));
}

void TForm1::queryJob(const std::string& kind) {
    QueryFilter& filter = State.Filter;
    filter.PatientName.clear();
    filter.DateRange.clear();
    filter.AccessionNumber.clear();
    if (Form3->exec() != QDialog::Accepted)
        return;
    if (filter.PatientName.empty() && filter.DateRange.empty() && filter.AccessionNumber.empty() &&
        filter.Modality.empty()) {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("WARNING"),
                        QStringLiteral("Have no filters\r\nSearch can take very long"),
                        QMessageBox::Ok | QMessageBox::Cancel, this);
        box.setObjectName(QStringLiteral("NoFilterWarning"));
        if (box.exec() != QMessageBox::Ok)
            return;
    }
    startJob(createJob(kind));
}

void TForm1::Query() {
    queryJob("FIND");
}

void TForm1::Worklist() {
    queryJob("WORKLIST");
}

void TForm1::Print() {
    std::unique_ptr<MainThread> job = createJob("PRINT");
    if (chooseFile(QStringLiteral("Print a DICOM file or picture"),
                   {dicomFilter, QStringLiteral("Pictures (*.jpg *.JPG *.bmp *.BMP)"), allFilter}))
        startJob(std::move(job));
}

void TForm1::startBatchJob(std::unique_ptr<MainThread> job, JobInputs inputs) {
    auto control = std::make_shared<BatchControl>();
    auto count = std::make_shared<BatchCount>();
    control->Progress = [count](const BatchProgress& p) {
        count->Total = p.FilesTotal;
        count->Done = p.FilesDone;
    };
    inputs.Control = control;
    batches_[job.get()] = count;
    startJob(std::move(job), std::move(inputs));
}

std::vector<std::string> TForm1::choosePaths(const QString& title, bool folder) {
    OpenDialog1->setFileMode(folder ? QFileDialog::Directory : QFileDialog::ExistingFiles);
    std::vector<std::string> paths;
    if (folder ? chooseFile(title, {allFilter}) : chooseFile(title, {dicomFilter, allFilter}))
        for (const QString& path : OpenDialog1->selectedFiles())
            paths.push_back(QFile::encodeName(path).toStdString());
    OpenDialog1->setFileMode(QFileDialog::ExistingFile);
    return paths;
}

void TForm1::StoreFiles() {
    std::unique_ptr<MainThread> job = createJob("STORE");
    if (Form4->exec() != QDialog::Accepted)
        return;
    job->TransferSyntaxUID = TransferSyntaxUIDFor(Form4->TransferSyntaxChoice);
    JobInputs inputs = CaptureJobInputs(State);
    inputs.FileNames = choosePaths(QStringLiteral("Store DICOM files"), false);
    if (!inputs.FileNames.empty())
        startBatchJob(std::move(job), std::move(inputs));
}

void TForm1::StoreFolder() {
    std::unique_ptr<MainThread> job = createJob("STORE");
    if (Form4->exec() != QDialog::Accepted)
        return;
    job->TransferSyntaxUID = TransferSyntaxUIDFor(Form4->TransferSyntaxChoice);
    JobInputs inputs = CaptureJobInputs(State);
    inputs.FileNames = choosePaths(QStringLiteral("Store a folder of DICOM files"), true);
    if (!inputs.FileNames.empty())
        startBatchJob(std::move(job), std::move(inputs));
}

bool TForm1::askWorklistFilter() {
    QueryFilter& filter = State.Filter;
    filter.PatientName.clear();
    filter.DateRange.clear();
    filter.AccessionNumber.clear();
    return Form3->exec() == QDialog::Accepted;
}

void TForm1::MppsStart() {
    if (!askWorklistFilter())
        return;
    TWorkflowForm form(State, TWorkflowForm::Item, QStringLiteral("MPPS in progress"), this);
    form.QueryWorklist();
    if (form.exec() != QDialog::Accepted)
        return;
    JobInputs inputs = CaptureJobInputs(State);
    inputs.Workflow.Action = "start";
    inputs.Workflow.WorklistItem = form.ItemNumber();
    startBatchJob(createJob("MPPS"), std::move(inputs));
}

void TForm1::MppsFinal(bool completed) {
    TWorkflowForm form(
        State,
        TWorkflowForm::MppsInstance | TWorkflowForm::Files |
            (completed ? 0 : TWorkflowForm::FilesOptional),
        completed ? QStringLiteral("MPPS completed") : QStringLiteral("MPPS discontinued"), this);
    // The step this window started last is the one most likely to be ended now.
    static const QString started = QStringLiteral("MPPS IN PROGRESS: ");
    const QStringList lines = Memo1->toPlainText().split(QLatin1Char('\n'));
    for (auto line = lines.crbegin(); line != lines.crend(); ++line)
        if (line->startsWith(started)) {
            form.MppsUidEdit->setText(line->mid(started.size()).trimmed());
            break;
        }
    if (form.exec() != QDialog::Accepted)
        return;
    JobInputs inputs = CaptureJobInputs(State);
    inputs.Workflow.Action = completed ? "complete" : "discontinue";
    inputs.Workflow.MppsInstanceUID = form.MppsUidEdit->text().trimmed().toStdString();
    inputs.FileNames = form.FileNames();
    startBatchJob(createJob("MPPS"), std::move(inputs));
}

void TForm1::Commit() {
    JobInputs inputs = CaptureJobInputs(State);
    inputs.FileNames = choosePaths(QStringLiteral("Storage commitment of DICOM files"), false);
    if (!inputs.FileNames.empty())
        startBatchJob(createJob("COMMIT"), std::move(inputs));
}

void TForm1::RunWorkflow() {
    if (!askWorklistFilter())
        return;
    TWorkflowForm form(State, TWorkflowForm::Item | TWorkflowForm::Files,
                       QStringLiteral("Run the workflow"), this);
    form.QueryWorklist();
    if (form.exec() != QDialog::Accepted)
        return;
    JobInputs inputs = CaptureJobInputs(State);
    inputs.Workflow.WorklistItem = form.ItemNumber();
    inputs.FileNames = form.FileNames();
    startBatchJob(createJob("WORKFLOW"), std::move(inputs));
}

QString TForm1::StudyUidAt(int line) const {
    static const QString key = QStringLiteral("StudyInstanceUID: ");
    const QStringList lines = Memo1->toPlainText().split(QLatin1Char('\n'));
    if (line < 0 || line >= lines.size() || lines[line].isEmpty())
        return {};
    // A result is the run of non-empty lines around the line.
    int first = line;
    while (first > 0 && !lines[first - 1].isEmpty())
        --first;
    for (int i = first; i < lines.size() && !lines[i].isEmpty(); ++i)
        if (lines[i].startsWith(key))
            return lines[i].mid(key.size()).trimmed();
    return {};
}

void TForm1::Retrieve(const QString& studyUid) {
    TRetrieveForm form(this);
    QString study = studyUid;
    if (study.isEmpty()) {
        const QStringList lines = Memo1->toPlainText().split(QLatin1Char('\n'));
        for (int i = static_cast<int>(lines.size()) - 1; i >= 0 && study.isEmpty(); --i)
            study = StudyUidAt(i);
    }
    form.StudyUidEdit->setText(study);
    if (form.exec() != QDialog::Accepted)
        return;
    JobInputs inputs = CaptureJobInputs(State);
    WorkflowInputs& w = inputs.Workflow;
    w.Level = form.Level();
    auto text = [](const QLineEdit* edit) { return edit->text().trimmed().toStdString(); };
    w.StudyInstanceUID = text(form.StudyUidEdit);
    if (w.Level != "STUDY")
        w.SeriesInstanceUID = text(form.SeriesUidEdit);
    if (w.Level == "IMAGE")
        w.SOPInstanceUID = text(form.ImageUidEdit);
    startBatchJob(createJob(form.Kind()), std::move(inputs));
}

void TForm1::Dump() {
    // Ended output goes, as a job's start clears it; running jobs keep their blocks.
    const int block = Blocks->Open(QString());
    Blocks->End(block);
    Blocks->Flush();
    if (!chooseFile(QStringLiteral("Dump a DICOM file"), {dicomFilter, allFilter}))
        return;
    DcmObj dataSet;
    if (!DcmObj::Read(dataSet, State.FileName, FileValues::InFile)) {
        const std::string reason = DumpUnreadableReason(State.FileName);
        LogMessage(reason);
        Blocks->Append(block, PaneText(reason));
        Blocks->Flush();
        return;
    }
    QStringList text;
    for (const std::string& line : DumpLines(dataSet))
        text << PaneText(line);
    Blocks->Append(block, text);
    // A dump is read from its first line, the transfer syntax; job lines follow the last one.
    Blocks->ShowTopNext();
    Blocks->Flush();
}

bool TForm1::ShowResultTable(int line) {
    // A negative line only asks whether there is a table there (-1 - line).
    const bool onlyAsk = line < 0;
    if (onlyAsk)
        line = -1 - line;
    const QStringList lines = Memo1->toPlainText().split(QLatin1Char('\n'));
    if (line >= lines.size())
        return false;
    // The block of the line: from its job's header to the next header.
    int first = line, last = line;
    while (first > 0 && !lines[first].startsWith(QStringLiteral("--- ")))
        --first;
    while (last + 1 < lines.size() && !lines[last + 1].startsWith(QStringLiteral("--- ")))
        ++last;
    if (!lines[first].startsWith(QStringLiteral("--- FIND ")) &&
        !lines[first].startsWith(QStringLiteral("--- WORKLIST ")))
        return false;
    QStringList columns;
    std::vector<std::vector<QString>> rows;
    std::vector<QString> row;
    auto endRow = [&] {
        if (!row.empty())
            rows.push_back(std::move(row));
        row.clear();
    };
    for (int i = first + 1; i <= last; ++i) {
        const QString& text = lines[i];
        if (text.isEmpty()) {
            endRow();
            continue;
        }
        const qsizetype colon = text.indexOf(QStringLiteral(": "));
        // Results are "Key: value" lines; the count and the verdict end them.
        if (colon <= 0 || text.startsWith(QStringLiteral("No studies: ")) ||
            text.startsWith(QStringLiteral("No items: ")))
            break;
        const QString key = text.left(colon);
        qsizetype column = columns.indexOf(key);
        if (column < 0) {
            columns << key;
            column = columns.size() - 1;
        }
        if (row.size() <= static_cast<std::size_t>(column))
            row.resize(static_cast<std::size_t>(column) + 1);
        row[static_cast<std::size_t>(column)] = text.mid(colon + 2);
    }
    endRow();
    if (rows.empty() || columns.isEmpty())
        return false;
    if (onlyAsk)
        return true;

    auto* dialog = new QDialog(this);
    dialog->setObjectName(QStringLiteral("ResultTable"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(lines[first].mid(4).chopped(4) + QStringLiteral(" results"));
    auto* model = new QStandardItemModel(static_cast<int>(rows.size()),
                                         static_cast<int>(columns.size()), dialog);
    model->setHorizontalHeaderLabels(columns);
    for (std::size_t r = 0; r < rows.size(); ++r)
        for (std::size_t c = 0; c < rows[r].size(); ++c)
            model->setItem(static_cast<int>(r), static_cast<int>(c), new QStandardItem(rows[r][c]));
    auto* view = new QTableView;
    view->setObjectName(QStringLiteral("ResultView"));
    view->setModel(model);
    view->setSortingEnabled(true);
    view->sortByColumn(-1, Qt::AscendingOrder);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->horizontalHeader()->setStretchLastSection(true);
    view->resizeColumnsToContents();
    auto* layout = new QVBoxLayout(dialog);
    layout->addWidget(view);
    dialog->resize(760, 360);
    dialog->show();
    return true;
}

void TForm1::About() {
    const std::string text = AboutText(FileVersionText(RunningProgramPath()));
    QMessageBox box(QMessageBox::Information, QStringLiteral("Veskaro"),
                    QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())),
                    QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("AboutBox"));
    box.exec();
}

void TForm1::Banner() {
    // Nothing to tell the user when no browser can be started.
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(BannerUrl)));
}
