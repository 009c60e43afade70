#include "WindowPane.h"

#include <QPlainTextEdit>

WindowPane::WindowPane(QPlainTextEdit* pane, QObject* parent) : QObject(parent) {
    // Queued even when a request comes from the pane's own thread, so all of them keep one order.
    connect(this, &WindowPane::clearRequested, pane, &QPlainTextEdit::clear, Qt::QueuedConnection);
    connect(this, &WindowPane::lineAppended, pane, &QPlainTextEdit::appendPlainText,
            Qt::QueuedConnection);
}

void WindowPane::Clear() {
    emit clearRequested();
}

void WindowPane::AppendLine(const std::string& line) {
    const auto size = static_cast<qsizetype>(line.size());
    emit lineAppended(Utf8 ? QString::fromUtf8(line.data(), size)
                           : QString::fromLatin1(line.data(), size));
}
