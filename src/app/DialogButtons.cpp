#include "DialogButtons.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QPushButton>
#include <QStyle>

QHBoxLayout* OkCancelRow(QDialog* dialog, QPushButton*& ok, QPushButton*& cancel) {
    QStyle* style = dialog->style();
    ok = new QPushButton(style->standardIcon(QStyle::SP_DialogOkButton), QStringLiteral("OK"));
    ok->setObjectName(QStringLiteral("OkButton"));
    ok->setDefault(true);
    cancel = new QPushButton(style->standardIcon(QStyle::SP_DialogCancelButton),
                             QStringLiteral("Cancel"));
    cancel->setObjectName(QStringLiteral("CancelButton"));
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    for (QPushButton* button : {ok, cancel}) {
        button->setMinimumSize(90, 30);
        row->addWidget(button);
    }
    QObject::connect(ok, &QPushButton::clicked, dialog, &QDialog::accept);
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    return row;
}
