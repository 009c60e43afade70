#include "WorkflowDialog.h"

#include "DialogButtons.h"
#include "Job.h"
#include "WorkflowSteps.h"
#include "WorklistQuery.h"

#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

struct TWorkflowForm::Query {
    std::vector<TWorklistItem> Items;
    std::string Reason;
    bool Ok = false;
};

namespace {

class NoPane : public OutputPane {
public:
    void Clear() override {}
    void AppendLine(const std::string&) override {}
};

QString itemText(int n, const TWorklistItem& item) {
    QString text = QString::number(n) + QStringLiteral(". ") +
                   QString::fromStdString(item.PatientsName) + QStringLiteral(" (") +
                   QString::fromStdString(item.PatientID) + QStringLiteral(")");
    auto add = [&text](const char* caption, const std::string& value) {
        if (!value.empty())
            text += QString::fromLatin1(caption) + QString::fromStdString(value);
    };
    add(", accession ", item.AccessionNumber);
    add(", ", item.ScheduledProcedureStepStartDate);
    add(" ", item.Modality);
    add(", ", item.RequestedProcedureDescription);
    return text;
}

QLabel* caption(const char* text) {
    auto* label = new QLabel(QString::fromLatin1(text));
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

} // namespace

TWorkflowForm::TWorkflowForm(const AppState& state, int parts, const QString& title,
                             QWidget* parent)
    : QDialog(parent), state_(state), parts_(parts) {
    setObjectName(QStringLiteral("WorkflowForm"));
    setWindowTitle(title);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);

    ItemStatus = new QLabel;
    ItemStatus->setObjectName(QStringLiteral("ItemStatus"));
    ItemStatus->setWordWrap(true);
    ItemList = new QListWidget;
    ItemList->setObjectName(QStringLiteral("ItemList"));
    ItemList->setMinimumHeight(90);
    if (parts & Item) {
        layout->addWidget(caption("Worklist item:"));
        layout->addWidget(ItemList, 1);
        layout->addWidget(ItemStatus);
    } else {
        ItemStatus->hide();
        ItemList->hide();
    }

    MppsUidEdit = new QLineEdit;
    MppsUidEdit->setObjectName(QStringLiteral("MppsUidEdit"));
    MppsUidEdit->setMaxLength(64);
    if (parts & MppsInstance) {
        layout->addWidget(caption("MPPS instance UID:"));
        layout->addWidget(MppsUidEdit);
    } else {
        MppsUidEdit->hide();
    }

    FileList = new QListWidget;
    FileList->setObjectName(QStringLiteral("FileList"));
    FileList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    FileList->setMinimumHeight(90);
    AddFilesButton = new QPushButton(QStringLiteral("Add files..."));
    AddFilesButton->setObjectName(QStringLiteral("AddFilesButton"));
    AddFolderButton = new QPushButton(QStringLiteral("Add folder..."));
    AddFolderButton->setObjectName(QStringLiteral("AddFolderButton"));
    RemoveButton = new QPushButton(QStringLiteral("Remove"));
    RemoveButton->setObjectName(QStringLiteral("RemoveButton"));
    for (QPushButton* button : {AddFilesButton, AddFolderButton, RemoveButton})
        button->setAutoDefault(false);
    if (parts & Files) {
        layout->addWidget(caption("Files:"));
        layout->addWidget(FileList, 1);
        auto* fileButtons = new QHBoxLayout;
        fileButtons->addWidget(AddFilesButton);
        fileButtons->addWidget(AddFolderButton);
        fileButtons->addWidget(RemoveButton);
        fileButtons->addStretch(1);
        layout->addLayout(fileButtons);
    } else {
        FileList->hide();
        AddFilesButton->hide();
        AddFolderButton->hide();
        RemoveButton->hide();
    }

    layout->addLayout(OkCancelRow(this, OkButton, CancelButton));

    connect(AddFilesButton, &QPushButton::clicked, this, [this] { choosePaths(false); });
    connect(AddFolderButton, &QPushButton::clicked, this, [this] { choosePaths(true); });
    connect(RemoveButton, &QPushButton::clicked, this, [this] {
        qDeleteAll(FileList->selectedItems());
        updateOk();
    });
    connect(ItemList, &QListWidget::currentRowChanged, this, [this] { updateOk(); });
    connect(MppsUidEdit, &QLineEdit::textChanged, this, [this] { updateOk(); });
    resize(parts & Item && parts & Files ? 460 : 420, (parts & Item ? 170 : 0) +
                                                          (parts & Files ? 190 : 0) +
                                                          (parts & MppsInstance ? 50 : 0) + 50);
    updateOk();
}

TWorkflowForm::~TWorkflowForm() = default;

int TWorkflowForm::ItemNumber() const {
    return (parts_ & Item) && ItemList->currentRow() >= 0 && ItemList->currentItem()->isSelected()
               ? ItemList->currentRow() + 1
               : 0;
}

std::vector<std::string> TWorkflowForm::FileNames() const {
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(FileList->count()));
    for (int i = 0; i < FileList->count(); ++i)
        names.push_back(QFile::encodeName(FileList->item(i)->text()).toStdString());
    return names;
}

void TWorkflowForm::AddPaths(const QStringList& paths) {
    for (const QString& path : paths)
        if (FileList->findItems(path, Qt::MatchExactly).isEmpty())
            FileList->addItem(path);
    updateOk();
}

void TWorkflowForm::choosePaths(bool folder) {
    QFileDialog dialog(this);
    dialog.setObjectName(QStringLiteral("PathsDialog"));
    dialog.setWindowTitle(folder ? QStringLiteral("Add a folder") : QStringLiteral("Add files"));
    dialog.setFileMode(folder ? QFileDialog::Directory : QFileDialog::ExistingFiles);
    if (!folder)
        dialog.setNameFilters(
            {QStringLiteral("DICOM Files (*.dcm)"), QStringLiteral("All Files (*)")});
    dialog.setDirectory(QFile::decodeName(QByteArray::fromStdString(state_.StartDir)));
    if (dialog.exec() == QDialog::Accepted)
        AddPaths(dialog.selectedFiles());
}

void TWorkflowForm::updateOk() {
    bool ok = true;
    if (parts_ & Item)
        ok = ok && ItemNumber() > 0;
    if (parts_ & MppsInstance)
        ok = ok && !MppsUidEdit->text().trimmed().isEmpty();
    if ((parts_ & Files) && !(parts_ & FilesOptional))
        ok = ok && FileList->count() > 0;
    OkButton->setEnabled(ok);
}

void TWorkflowForm::QueryWorklist() {
    ItemList->clear();
    ItemStatus->setText(QString::fromLatin1(QueryingText));
    updateOk();
    auto query = std::make_shared<Query>();
    query_ = query;
    // The peer as the jobs see it, from a copy of the settings taken now.
    auto inputs = std::make_shared<JobInputs>(CaptureJobInputs(state_));
    QThread* run = QThread::create([query, inputs] {
        const std::string kind = "WORKLIST", syntax;
        NoPane pane;
        JobContext job{kind, syntax, *inputs, JobReadTimeoutSeconds(kind), pane};
        TWorklistItem filter;
        filter.PatientsName = inputs->Filter.PatientName;
        filter.ScheduledProcedureStepStartDate = inputs->Filter.DateRange;
        filter.AccessionNumber = inputs->Filter.AccessionNumber;
        filter.Modality = inputs->Filter.Modality;
        query->Ok = QueryWorklistItems(SettingsPeer(job), filter, query->Items, query->Reason);
    });
    connect(run, &QThread::finished, this, [this, query] {
        if (query != query_)
            return;
        if (!query->Ok) {
            ItemStatus->setText(QStringLiteral("Reason: ") + QString::fromStdString(query->Reason));
            return;
        }
        int n = 0;
        for (const TWorklistItem& item : query->Items)
            ItemList->addItem(itemText(++n, item));
        ItemStatus->setText(QStringLiteral("Worklist items: ") + QString::number(n));
        if (n == 1)
            ItemList->setCurrentRow(0);
        updateOk();
    });
    connect(run, &QThread::finished, run, &QObject::deleteLater);
    run->start();
}
