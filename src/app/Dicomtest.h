#pragma once
// The main window, TForm1: the toolbar of operations above the output pane Memo1. Network
// operations run as worker jobs; only the dialogs and the local dump use the window's thread.

#include "AppState.h"
#include "Job.h"

#include <QMainWindow>

#include <atomic>
#include <memory>
#include <string>

class MainThread;
class QFileDialog;
class QFrame;
class QPlainTextEdit;
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
    QToolButton* BitBtn1; // Dump
    QToolButton* BitBtn3; // About
    QPlainTextEdit* Memo1;
    QFrame* Panel1;
    QPushButton* BitBtn10; // Banner
    QToolButton* BitBtn5;  // End
    QFileDialog* OpenDialog1;

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
    // Runs the connection diagnosis with these settings on a thread of its own; its lines
    // replace the pane's.
    void TestConnection(const SettingsRecord& settings);

private:
    std::unique_ptr<MainThread> createJob(const std::string& kind);
    void startJob(std::unique_ptr<MainThread> job);
    void queryJob(const std::string& kind);
    // Runs OpenDialog1; true, with the chosen file as State.FileName, when a file was chosen.
    bool chooseFile();

    int startedJobs_ = 0;
    static std::atomic<int> runningJobs_;
};
