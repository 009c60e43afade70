#include "Tsselect.h"
#include "TransferSyntaxItems.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

TForm4::TForm4(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("Form4"));
    setWindowTitle(QStringLiteral("TransferSyntax"));
    setFixedSize(292, 167);

    ComboBox1 = new QComboBox;
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    for (const TransferSyntaxItem& item : TransferSyntaxItems)
        ComboBox1->addItem(
            QString::fromLatin1(item.Item.data(), static_cast<qsizetype>(item.Item.size())));
    Button1 = new QPushButton(QStringLiteral("OK"));
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setDefault(true);
    Button1->setMinimumSize(80, 28);
    connect(Button1, &QPushButton::clicked, this, [this] {
        TransferSyntaxChoice = ComboBox1->currentIndex();
        accept();
    });

    CancelButton = new QPushButton(QStringLiteral("Cancel"));
    CancelButton->setObjectName(QStringLiteral("CancelButton"));
    CancelButton->setMinimumSize(80, 28);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(Button1);
    buttons->addWidget(CancelButton);
    buttons->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 30, 24, 24);
    layout->addWidget(ComboBox1);
    layout->addStretch(1);
    layout->addLayout(buttons);
}

void TForm4::showEvent(QShowEvent* event) {
    ComboBox1->setCurrentIndex(0);
    ComboBox1->setFocus();
    QDialog::showEvent(event);
}
