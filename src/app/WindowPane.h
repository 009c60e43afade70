#pragma once
// A job's view of the main window's output pane: both requests are queued to the pane's
// thread, so a job never touches the widget and the pane sees every job's requests in the
// order they were made. Each job has its own, and so its own block of the pane.

#include "Job.h"
#include "PaneBlocks.h"

#include <QObject>
#include <QPointer>
#include <QString>

// Job lines are UTF-8; a line that is not valid UTF-8 is taken as Latin-1, so no byte is lost.
QString PaneText(const std::string& line);

class WindowPane : public QObject, public OutputPane {
    Q_OBJECT

public:
    // Create it on the pane's thread. A job that outlives the window writes into nothing.
    WindowPane(PaneBlocks* blocks, const std::string& kind, QObject* parent);

    // The job's start: the blocks of ended jobs go and the job's own block begins.
    void Clear() override;
    void AppendLine(const std::string& line) override;

    // The pane's thread: the job has ended, its block goes at the next job's start.
    void End();

signals:
    void clearRequested(const QString& header);
    void lineAppended(const QString& line);

private:
    QPointer<PaneBlocks> blocks_;
    const QString kind_;
    int block_ = 0; // the pane's thread only
};
