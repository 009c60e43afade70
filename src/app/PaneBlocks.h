#pragma once
// The text of the main window's output pane: one block per job, headed by its kind and start
// time, each job's lines in its own block however the jobs interleave; the live status lines
// of the running jobs at the end. Window thread only.

#include <QObject>
#include <QString>
#include <QStringList>

#include <vector>

class QPlainTextEdit;

class PaneBlocks : public QObject {
    Q_OBJECT

public:
    explicit PaneBlocks(QPlainTextEdit* pane);

    // Removes the blocks of ended jobs (a job's "clear"), then opens a block, with a header
    // line unless header is empty. Returns the block's id.
    int Open(const QString& header);
    void Append(int block, const QString& line);
    void Append(int block, const QStringList& lines);
    // The block's job has ended: the next Open removes it.
    void End(int block);
    // Replaces the status lines shown after the last block.
    void SetStatus(const QStringList& lines);

    // Shows what is pending now instead of at the next turn of the event loop.
    void Flush();
    // After the next showing, puts the first line of the pane in view (a dump is read from the
    // top) instead of the last.
    void ShowTopNext() { showTop_ = true; }

private:
    struct Block {
        int id;
        bool ended = false;
        QStringList lines;
    };
    Block* find(int block);
    void changed(bool onlyAppendedToLast);
    void render();
    QString statusText() const;

    QPlainTextEdit* pane_;
    std::vector<Block> blocks_;
    QStringList status_;
    int nextId_ = 1;
    bool scheduled_ = false;
    bool structureChanged_ = true;
    // Lines appended to the last block since the last showing (the fast path).
    QStringList appended_;
    int statusPosition_ = -1; // where the status text starts in the document, -1 for none
    bool showTop_ = false;
};
