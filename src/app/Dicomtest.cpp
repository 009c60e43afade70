#include "Dicomtest.h"

#include "DcmObj.h"
#include "DiagnoseJob.h"
#include "FileVersion.h"
#include "MainThread.h"
#include "Pictograms.h"
#include "Qfilter.h"
#include "SetupDialog.h"
#include "TransferSyntaxItems.h"
#include "Tsselect.h"

#include "WindowPane.h"

#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFrame>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
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
                        int left, int top) {
    auto* button = new QToolButton(panel);
    button->setObjectName(QString::fromLatin1(name));
    button->setIcon(PictogramIcon(pictogram));
    button->setIconSize(QSize(40, 40));
    button->setToolTip(QString::fromLatin1(hint));
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
    BitBtn2 = iconButton(Panel2, "BitBtn2", Pictogram::Setup, "Setup", 8, top);
    BitBtn4 = iconButton(Panel2, "BitBtn4", Pictogram::Echo, "Echo - Verification", 69, top);
    BitBtn6 = iconButton(Panel2, "BitBtn6", Pictogram::Store, "Store to PACS", 130, top);
    BitBtn7 = iconButton(Panel2, "BitBtn7", Pictogram::Query, "Query PACS", 191, top);
    BitBtn8 = iconButton(Panel2, "BitBtn8", Pictogram::Worklist, "Query WorkList", 252, top);
    BitBtn9 = iconButton(Panel2, "BitBtn9", Pictogram::Print, "DICOM Print", 313, top);
    BitBtn1 = iconButton(Panel2, "BitBtn1", Pictogram::Dump, "Dump DICOM File", 435, top);
    BitBtn3 = iconButton(Panel2, "BitBtn3", Pictogram::About, "About", 496, top);

    Memo1 = new QPlainTextEdit;
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setReadOnly(true);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Dump lines keep their columns: no wrapping, a horizontal bar when a line is too long.
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

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

    auto* client = new QWidget;
    auto* layout = new QVBoxLayout(client);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(Panel2);
    layout->addWidget(Memo1, 1);
    layout->addWidget(Panel1);
    setCentralWidget(client);
    resize(583, 411);

    OpenDialog1 = new QFileDialog(this);
    OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
    OpenDialog1->setFileMode(QFileDialog::ExistingFile);
    OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    OpenDialog1->setNameFilters(
        {QStringLiteral("All Files (*)"), QStringLiteral("DICOM Files (*.dcm)")});
    OpenDialog1->selectNameFilter(QStringLiteral("All Files (*)"));
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
}

TForm1::~TForm1() = default;

std::unique_ptr<MainThread> TForm1::createJob(const std::string& kind) {
    auto job = std::make_unique<MainThread>();
    job->JobKind = kind;
    job->Bodies = Bodies;
    // The job's pane dies with the job, not with the window, so a job still running when the
    // window goes never writes through a dangling pane.
    job->Pane = new WindowPane(Memo1, job.get());
    return job;
}

void TForm1::startJob(std::unique_ptr<MainThread> job) {
    ++startedJobs_;
    ++runningJobs_;
    connect(
        job.get(), &QThread::finished, job.get(), [] { --runningJobs_; }, Qt::DirectConnection);
    // Deletes itself once it has ended; nothing waits for it.
    StartJob(job.release(), CaptureJobInputs(State));
}

bool TForm1::chooseFile() {
    if (OpenDialog1->exec() != QDialog::Accepted || OpenDialog1->selectedFiles().isEmpty())
        return false;
    State.FileName = QFile::encodeName(OpenDialog1->selectedFiles().constFirst()).toStdString();
    return true;
}

void TForm1::Setup() {
    Form2->exec();
}

void TForm1::TestConnection(const SettingsRecord& settings) {
    // The pane belongs to the thread, as a job's does, and writes nothing once the window is gone.
    auto* pane = new WindowPane(Memo1, nullptr);
    pane->Utf8 = true;
    const std::string logDir = State.LogDir;
    QThread* run =
        QThread::create([settings, logDir, pane] { RunDiagnosis(settings, logDir, *pane); });
    pane->setParent(run);
    connect(run, &QThread::finished, run, &QObject::deleteLater);
    run->start();
}

void TForm1::Echo() {
    startJob(createJob("ECHO"));
}

void TForm1::Store() {
    std::unique_ptr<MainThread> job = createJob("STORE");
    Form4->exec();
    job->TransferSyntaxUID = TransferSyntaxUIDFor(Form4->TransferSyntaxChoice);
    if (chooseFile())
        startJob(std::move(job));
}

void TForm1::queryJob(const std::string& kind) {
    QueryFilter& filter = State.Filter;
    filter.PatientName.clear();
    filter.DateRange.clear();
    filter.AccessionNumber.clear();
    Form3->exec();
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
    if (chooseFile())
        startJob(std::move(job));
}

void TForm1::Dump() {
    Memo1->clear();
    if (!chooseFile())
        return;
    DcmObj dataSet;
    if (!DcmObj::Read(dataSet, State.FileName))
        return;
    std::vector<std::string> lines;
    lines.push_back("Transfer Syntax: " + dataSet.transferSyntax);
    dataSet.Dump(lines, 0);
    QString text;
    for (const std::string& line : lines) {
        if (!text.isEmpty())
            text += QLatin1Char('\n');
        text += QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size()));
    }
    Memo1->appendPlainText(text);
    // A dump is read from its first line, the transfer syntax; job lines follow the last one.
    Memo1->moveCursor(QTextCursor::Start);
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
