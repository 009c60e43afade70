#pragma once
// The small dialog of the workflow actions: the worklist item the step is performed for (the
// worklist answers the filter on a thread of its own, so the dialog stays responsive), the
// performed procedure step's instance, and the files. Each action shows only the parts it needs.

#include "AppState.h"

#include <QDialog>

#include <memory>
#include <string>
#include <vector>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

class TWorkflowForm : public QDialog {
    Q_OBJECT

public:
    // FilesOptional: the files part without the need of one file (a step discontinued before
    // anything was stored).
    enum Part { Item = 1, MppsInstance = 2, Files = 4, FilesOptional = 8 };

    // parts: the Part flags shown. state must outlive the dialog; its settings and filter are
    // read when the worklist query starts.
    TWorkflowForm(const AppState& state, int parts, const QString& title,
                  QWidget* parent = nullptr);
    ~TWorkflowForm() override;

    QLabel* ItemStatus;
    QListWidget* ItemList;
    QLineEdit* MppsUidEdit;
    QListWidget* FileList;
    QPushButton* AddFilesButton;
    QPushButton* AddFolderButton;
    QPushButton* RemoveButton;
    QPushButton* OkButton;
    QPushButton* CancelButton;

    // The chosen item, counted from 1 in the worklist's answer; 0 for none.
    int ItemNumber() const;
    std::vector<std::string> FileNames() const;
    void AddPaths(const QStringList& paths);

    // Queries the worklist with the state's filter; the list fills when the answer comes.
    void QueryWorklist();

    static constexpr const char* QueryingText = "Querying the worklist...";

private:
    void updateOk();
    void choosePaths(bool folder);

    const AppState& state_;
    int parts_;
    // Shared with the query's thread, which may outlive the dialog.
    struct Query;
    std::shared_ptr<Query> query_;
};
