#pragma once
// The main window, TForm1: the toolbar of operations above the output pane Memo1. Network
// operations run as worker jobs; only the dialogs and the local dump use the window's thread.

#include "AppState.h"
#include "Job.h"

#include <QMainWindow>
#include <QTimer>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

class MainThread;
class PaneBlocks;
class QFileDialog;
class QFrame;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QToolButton;
class TForm2;
class TForm3;
class TForm4;

class TForm1 : public QMainWindow {
    Q_OBJECT

public:
    // Records the current directory as the start directory and creates its logs folder, then
    // creates the Setup dialog (which loads the settings from there) and the other two dialogs,
    // all hidden.
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    AppState State;

    QFrame* Panel2;
    QToolButton* BitBtn2; // Setup
    QToolButton* BitBtn4; // Echo
    QToolButton* BitBtn6; // Store
    QToolButton* BitBtn7; // Query
    QToolButton* BitBtn8; // Worklist
    QToolButton* BitBtn9; // Print
    // The modality's workflow beyond the five services, as the actions of its menu.
    QToolButton* BitBtn11;
    QMenu* WorkflowMenu;
    QToolButton* BitBtn1; // Dump
    QToolButton* BitBtn3; // About
    QPlainTextEdit* Memo1;
    QFrame* Panel1;
    QPushButton* BitBtn10; // Banner
    QToolButton* BitBtn5;  // End
    QFileDialog* OpenDialog1;
    // In the banner's place while jobs run: their progress and the Cancel button.
    QWidget* ProgressPanel;
    QProgressBar* ProgressBar1;
    QPushButton* CancelButton;
    // The pane's text: one block per job, the running jobs' status lines at the end.
    PaneBlocks* Blocks;

    TForm2* Form2;
    TForm3* Form3;
    TForm4* Form4;

    // The bodies the window's jobs run; the services' table unless a test puts its own.
    const JobBodyTable* Bodies = &DefaultJobBodies();

    // Jobs this window has started.
    int StartedJobs() const { return startedJobs_; }
    // Jobs of any window that have started and not yet ended.
    static int RunningJobs() { return runningJobs_.load(); }

    static constexpr const char* BannerText = "veskaro.example";
    static constexpr const char* BannerUrl = "https://veskaro.example/";

    void Setup();
    void Echo();
    void Store();
    void Query();
    void Worklist();
    void Print();
    void Dump();
    void About();
    void Banner();
    // STORE of several files, or of a folder and its subfolders, with the files counted on
    // the progress bar.
    void StoreFiles();
    void StoreFolder();
    // MPPS in progress for a worklist item, and completed or discontinued for the files.
    void MppsStart();
    void MppsFinal(bool completed);
    // Storage commitment of chosen files.
    void Commit();
    // The scheduled workflow for a worklist item and the chosen files, step by step.
    void RunWorkflow();
    // MOVE or GET of a study, series or image, asked for in a small dialog; the study given,
    // else the one the pane showed last, fills its study key.
    void Retrieve(const QString& studyUid = QString());
    // The study instance UID of the query result that holds the pane's line; empty for none.
    QString StudyUidAt(int line) const;
    // Cancels every running job of this window (Cancel button, Esc in the pane).
    void CancelJobs();
    // Jobs of this window still running.
    int JobsRunning() const { return static_cast<int>(running_.size()); }
    // Opens the results of the query block that holds the pane's line as a sortable table;
    // false when the line is not in a query's results.
    bool ShowResultTable(int line);

    static constexpr const char* EndQuestion = "A job is running. Abort it and quit?";

    // Runs the connection diagnosis with these settings on a thread of its own; its lines
    // replace the pane's.
    void TestConnection(const SettingsRecord& settings);

protected:
    // End and the close box: while a job runs, only after the user confirms.
    void closeEvent(QCloseEvent* event) override;

private:
    std::unique_ptr<MainThread> createJob(const std::string& kind);
    void startJob(std::unique_ptr<MainThread> job);
    void startJob(std::unique_ptr<MainThread> job, JobInputs inputs);
    // A job that reports its files: their count on the progress bar, Cancel through its control.
    void startBatchJob(std::unique_ptr<MainThread> job, JobInputs inputs);
    // The worklist filter dialog, as the worklist query shows it; false when cancelled.
    bool askWorklistFilter();
    // Runs OpenDialog1 in the mode given (several files, or a folder); the chosen paths, none
    // when cancelled. The dialog is left as it was.
    std::vector<std::string> choosePaths(const QString& title, bool folder);
    void queryJob(const std::string& kind);
    // Runs OpenDialog1; true, with the chosen file as State.FileName, when a file was chosen.
    bool chooseFile(const QString& title, const QStringList& filters);
    void updateProgress();

    int startedJobs_ = 0;
    std::vector<MainThread*> running_;
    // The files done and to do of the running batch jobs, written by their threads.
    struct BatchCount {
        std::atomic<std::size_t> Done{0};
        std::atomic<std::size_t> Total{0};
    };
    std::map<MainThread*, std::shared_ptr<BatchCount>> batches_;
    QTimer progressTimer_;
    static std::atomic<int> runningJobs_;
};
