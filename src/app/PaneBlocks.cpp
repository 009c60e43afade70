#include "PaneBlocks.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>

namespace {

// Set on the pane while its view follows the last line (not after a dump, read from the top).
constexpr const char* followEnd = "veskaroFollowEnd";

} // namespace

PaneBlocks::PaneBlocks(QPlainTextEdit* pane) : QObject(pane), pane_(pane) {
    // Read-only text rewritten at its end many times a second: nothing to undo.
    pane_->setUndoRedoEnabled(false);
    // A horizontal scroll bar that appears after a showing makes the range grow: the end is
    // followed then too, so the last line never hides under the bar.
    connect(pane_->verticalScrollBar(), &QScrollBar::rangeChanged, this, [this](int, int maximum) {
        if (pane_->property(followEnd).toBool())
            pane_->verticalScrollBar()->setValue(maximum);
    });
}

int PaneBlocks::Open(const QString& header) {
    std::erase_if(blocks_, [](const Block& b) { return b.ended; });
    Block block{nextId_++, false, {}};
    if (!header.isEmpty())
        block.lines << header;
    blocks_.push_back(std::move(block));
    changed(false);
    return blocks_.back().id;
}

PaneBlocks::Block* PaneBlocks::find(int block) {
    for (Block& b : blocks_)
        if (b.id == block)
            return &b;
    return nullptr;
}

void PaneBlocks::Append(int block, const QString& line) {
    Append(block, QStringList{line});
}

void PaneBlocks::Append(int block, const QStringList& lines) {
    Block* b = find(block);
    if (!b)
        return;
    b->lines << lines;
    if (b == &blocks_.back() && !structureChanged_) {
        appended_ << lines;
        changed(true);
    } else {
        changed(false);
    }
}

void PaneBlocks::End(int block) {
    if (Block* b = find(block))
        b->ended = true;
}

void PaneBlocks::SetStatus(const QStringList& lines) {
    if (lines == status_)
        return;
    status_ = lines;
    changed(true);
}

void PaneBlocks::changed(bool onlyAppendedToLast) {
    if (!onlyAppendedToLast) {
        structureChanged_ = true;
        appended_.clear();
    }
    if (scheduled_)
        return;
    scheduled_ = true;
    // Lines that come in a burst are shown together.
    QTimer::singleShot(30, this, [this] {
        if (scheduled_)
            Flush();
    });
}

QString PaneBlocks::statusText() const {
    return status_.join(QLatin1Char('\n'));
}

void PaneBlocks::Flush() {
    scheduled_ = false;
    render();
}

void PaneBlocks::render() {
    QTextDocument* document = pane_->document();
    if (structureChanged_) {
        QStringList all;
        for (const Block& b : blocks_)
            all << b.lines;
        QString text = all.join(QLatin1Char('\n'));
        statusPosition_ = -1;
        if (!status_.isEmpty()) {
            if (!text.isEmpty())
                text += QLatin1Char('\n');
            statusPosition_ = static_cast<int>(text.size());
            text += statusText();
        }
        pane_->setPlainText(text);
    } else {
        // Only the end changes: the status text goes, the new lines and the status come after.
        QTextCursor cursor(document);
        cursor.beginEditBlock();
        if (statusPosition_ >= 0) {
            cursor.setPosition(statusPosition_ > 0 ? statusPosition_ - 1 : 0);
            cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
            cursor.removeSelectedText();
        }
        cursor.movePosition(QTextCursor::End);
        bool empty = document->isEmpty();
        QString tail;
        for (const QString& line : appended_) {
            if (!empty)
                tail += QLatin1Char('\n');
            tail += line;
            empty = false;
        }
        cursor.insertText(tail);
        statusPosition_ = -1;
        if (!status_.isEmpty()) {
            if (!empty)
                cursor.insertText(QStringLiteral("\n"));
            statusPosition_ = cursor.position();
            cursor.insertText(statusText());
        }
        cursor.endEditBlock();
    }
    structureChanged_ = false;
    appended_.clear();

    pane_->setProperty(followEnd, !showTop_);
    if (showTop_) {
        showTop_ = false;
        pane_->moveCursor(QTextCursor::Start);
        pane_->verticalScrollBar()->setValue(0);
        return;
    }
    // The last line, the verdict or the status, stays in view, and from its first column.
    pane_->moveCursor(QTextCursor::End);
    pane_->moveCursor(QTextCursor::StartOfLine);
    pane_->horizontalScrollBar()->setValue(0);
    pane_->ensureCursorVisible();
    pane_->verticalScrollBar()->setValue(pane_->verticalScrollBar()->maximum());
}
