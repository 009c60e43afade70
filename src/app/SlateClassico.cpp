#include "SlateClassico.h"

#include <QApplication>
#include <QFile>
#include <QStyleFactory>

QString SlateClassicoStyleSheet() {
    QFile file(QStringLiteral(":/veskaro/SlateClassico.qss"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromUtf8(file.readAll());
}

bool ApplySlateClassico(QApplication& app) {
    QString sheet = SlateClassicoStyleSheet();
    if (sheet.isEmpty())
        return false;
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion")))
        app.setStyle(fusion); // the application takes ownership
    app.setStyleSheet(sheet);
    return true;
}
