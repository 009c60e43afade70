#pragma once
// A job's view of the main window's output pane: both requests are queued to the pane's
// thread, so a job never touches the widget and the pane sees every job's requests in the
// order they were made.

#include "Job.h"

#include <QObject>
#include <QString>

class QPlainTextEdit;

class WindowPane : public QObject, public OutputPane {
    Q_OBJECT

public:
    // Create it on the pane's thread. The connections die with the pane, so a job that outlives
    // the window writes into nothing.
    WindowPane(QPlainTextEdit* pane, QObject* parent);

    // Lines are 8-bit texts; set for lines written in UTF-8 (the diagnosis' check marks).
    bool Utf8 = false;

    void Clear() override;
    void AppendLine(const std::string& line) override;

signals:
    void clearRequested();
    void lineAppended(const QString& line);
};
