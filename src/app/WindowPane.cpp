#include "WindowPane.h"

#include "PaneBlocks.h"

#include <QStringDecoder>
#include <QTime>

QString PaneText(const std::string& line) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(QByteArrayView(line.data(), static_cast<qsizetype>(line.size())));
    if (utf8.hasError())
        return QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size()));
    return text;
}

WindowPane::WindowPane(PaneBlocks* blocks, const std::string& kind, QObject* parent)
    : QObject(parent), blocks_(blocks), kind_(QString::fromStdString(kind)) {
    // Queued even when a request comes from the pane's own thread, so all of them keep one order.
    connect(
        this, &WindowPane::clearRequested, this,
        [this](const QString& header) {
            if (blocks_)
                block_ = blocks_->Open(header);
        },
        Qt::QueuedConnection);
    connect(
        this, &WindowPane::lineAppended, this,
        [this](const QString& line) {
            if (blocks_)
                blocks_->Append(block_, line);
        },
        Qt::QueuedConnection);
}

void WindowPane::Clear() {
    emit clearRequested(QStringLiteral("--- ") + kind_ + QLatin1Char(' ') +
                        QTime::currentTime().toString(QStringLiteral("HH:mm:ss")) +
                        QStringLiteral(" ---"));
}

void WindowPane::AppendLine(const std::string& line) {
    emit lineAppended(PaneText(line));
}

void WindowPane::End() {
    if (blocks_)
        blocks_->End(block_);
}
