#include "Qfilter.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

// UTF-8, so that any name can be searched for; the query declares the character set it needs.
std::string eightBit(const QString& text) {
    return text.toUtf8().toStdString();
}

QLineEdit* edit(const char* name) {
    auto* line = new QLineEdit;
    line->setObjectName(QString::fromLatin1(name));
    return line;
}

QCheckBox* check(const char* name, const char* caption, QLineEdit* date) {
    auto* box = new QCheckBox(QString::fromLatin1(caption));
    box->setObjectName(QString::fromLatin1(name));
    QObject::connect(box, &QCheckBox::toggled, date, &QWidget::setEnabled);
    return box;
}

} // namespace

TForm3::TForm3(QueryFilter& filter, QWidget* parent) : QDialog(parent), filter_(filter) {
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("Query Filter"));
    setFixedSize(292, 212);

    Edit2 = edit("Edit2");
    Edit1 = edit("Edit1");
    Edit3 = edit("Edit3");
    Edit4 = edit("Edit4");
    CheckBox1 = check("CheckBox1", "From", Edit3);
    CheckBox2 = check("CheckBox2", "To", Edit4);
    Edit3->setEnabled(false);
    Edit4->setEnabled(false);
    ComboBox2 = new QComboBox;
    ComboBox2->setObjectName(QStringLiteral("ComboBox2"));
    ComboBox2->addItems({QStringLiteral("ALL"), QStringLiteral("CT"), QStringLiteral("MR"),
                         QStringLiteral("CR"), QStringLiteral("US"), QStringLiteral("MG"),
                         QStringLiteral("DX"), QStringLiteral("XA")});
    // A modality that is not in the list may be typed; it is sent as typed.
    ComboBox2->setEditable(true);
    ComboBox2->setInsertPolicy(QComboBox::NoInsert);
    Button1 = new QPushButton(QStringLiteral("OK"));
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setDefault(true);
    Button1->setMinimumSize(80, 28);
    connect(Button1, &QPushButton::clicked, this, [this] {
        storeFilter();
        accept();
    });

    auto label = [](const char* text, QWidget* buddy) {
        auto* l = new QLabel(QString::fromLatin1(text));
        l->setBuddy(buddy);
        return l;
    };
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(14, 12, 14, 12);
    grid->setHorizontalSpacing(10);
    grid->addWidget(label("Patient Name", Edit2), 0, 0);
    grid->addWidget(Edit2, 0, 1);
    grid->addWidget(label("Acc. Number", Edit1), 1, 0);
    grid->addWidget(Edit1, 1, 1);
    grid->addWidget(CheckBox1, 2, 0);
    grid->addWidget(Edit3, 2, 1);
    grid->addWidget(CheckBox2, 3, 0);
    grid->addWidget(Edit4, 3, 1);
    grid->addWidget(label("Modality", ComboBox2), 4, 0);
    grid->addWidget(ComboBox2, 4, 1);
    CancelButton = new QPushButton(QStringLiteral("Cancel"));
    CancelButton->setObjectName(QStringLiteral("CancelButton"));
    CancelButton->setMinimumSize(80, 28);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(Button1);
    buttons->addWidget(CancelButton);
    grid->addLayout(buttons, 5, 0, 1, 2);
    grid->setColumnStretch(1, 1);

    setTabOrder(Edit2, Edit1);
    setTabOrder(Edit1, CheckBox1);
    setTabOrder(CheckBox1, Edit3);
    setTabOrder(Edit3, CheckBox2);
    setTabOrder(CheckBox2, Edit4);
    setTabOrder(Edit4, ComboBox2);
    setTabOrder(ComboBox2, Button1);
    setTabOrder(Button1, CancelButton);
}

void TForm3::showEvent(QShowEvent* event) {
    Edit2->clear();
    Edit1->clear();
    CheckBox1->setChecked(false);
    CheckBox2->setChecked(false);
    const QString today = QDate::currentDate().toString(QStringLiteral("yyyyMMdd"));
    if (Edit3->text().isEmpty())
        Edit3->setText(today);
    if (Edit4->text().isEmpty())
        Edit4->setText(today);
    ComboBox2->setCurrentIndex(0);
    Edit2->setFocus();
    QDialog::showEvent(event);
}

void TForm3::storeFilter() {
    if (!Edit2->text().isEmpty())
        filter_.PatientName = eightBit(Edit2->text());
    if (!Edit1->text().isEmpty())
        filter_.AccessionNumber = eightBit(Edit1->text());
    const bool from = CheckBox1->isChecked(), to = CheckBox2->isChecked();
    if (from && to)
        filter_.DateRange = eightBit(Edit3->text() + QLatin1Char('-') + Edit4->text());
    else if (from)
        filter_.DateRange = eightBit(Edit3->text() + QLatin1Char('-'));
    else if (to)
        filter_.DateRange = eightBit(QLatin1Char('-') + Edit4->text());

    filter_.Modality.clear();
    const QString modality = ComboBox2->currentText().trimmed();
    if (modality.compare(ComboBox2->itemText(0), Qt::CaseInsensitive) != 0)
        filter_.Modality = eightBit(modality);
}
