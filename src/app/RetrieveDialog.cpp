#include "RetrieveDialog.h"

#include "DialogButtons.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

TRetrieveForm::TRetrieveForm(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("RetrieveForm"));
    setWindowTitle(QStringLiteral("Retrieve"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    auto* form = new QFormLayout;
    LevelBox = new QComboBox;
    LevelBox->setObjectName(QStringLiteral("LevelBox"));
    LevelBox->addItems(
        {QStringLiteral("Study"), QStringLiteral("Series"), QStringLiteral("Image")});
    form->addRow(QStringLiteral("&Level:"), LevelBox);
    auto uidEdit = [&](const char* name, const char* label) {
        auto* edit = new QLineEdit;
        edit->setObjectName(QString::fromLatin1(name));
        edit->setMaxLength(64);
        edit->setMinimumWidth(330);
        form->addRow(QString::fromLatin1(label), edit);
        connect(edit, &QLineEdit::textChanged, this, [this] { update(); });
        return edit;
    };
    StudyUidEdit = uidEdit("StudyUidEdit", "St&udy instance UID:");
    SeriesUidEdit = uidEdit("SeriesUidEdit", "S&eries instance UID:");
    ImageUidEdit = uidEdit("ImageUidEdit", "&SOP instance UID:");
    MoveButton = new QRadioButton(QStringLiteral("C-&MOVE to this AE title"));
    MoveButton->setObjectName(QStringLiteral("MoveButton"));
    MoveButton->setChecked(true);
    GetButton = new QRadioButton(QStringLiteral("C-&GET"));
    GetButton->setObjectName(QStringLiteral("GetButton"));
    auto* way = new QHBoxLayout;
    way->addWidget(MoveButton);
    way->addWidget(GetButton);
    way->addStretch(1);
    form->addRow(QStringLiteral("Way:"), way);
    layout->addLayout(form);

    layout->addLayout(OkCancelRow(this, OkButton, CancelButton));
    connect(LevelBox, &QComboBox::currentIndexChanged, this, [this] { update(); });
    update();
}

std::string TRetrieveForm::Level() const {
    static const char* const levels[] = {"STUDY", "SERIES", "IMAGE"};
    return levels[std::max(0, LevelBox->currentIndex())];
}

std::string TRetrieveForm::Kind() const {
    return GetButton->isChecked() ? "GET" : "MOVE";
}

// A level needs the keys of every level above it.
void TRetrieveForm::update() {
    const int level = LevelBox->currentIndex();
    SeriesUidEdit->setEnabled(level >= 1);
    ImageUidEdit->setEnabled(level >= 2);
    bool complete = !StudyUidEdit->text().trimmed().isEmpty();
    if (level >= 1)
        complete = complete && !SeriesUidEdit->text().trimmed().isEmpty();
    if (level >= 2)
        complete = complete && !ImageUidEdit->text().trimmed().isEmpty();
    OkButton->setEnabled(complete);
}
