#pragma once
// A worker job: one network operation on a thread of its own, ending in one verdict line.

#include "Job.h"

#include <QThread>

#include <string>

// Created not started. The creator sets the fields, then either start()s it (the window; the
// job runs on its own thread) or calls Execute() itself (the CLI; the same steps on the
// calling thread). A job runs once.
class MainThread : public QThread {
    Q_OBJECT

public:
    explicit MainThread(QObject* parent = nullptr);

    std::string JobKind;
    // Must outlive the job; nullptr sends the lines nowhere.
    OutputPane* Pane = nullptr;
    // Written by the job; read it only after the job has ended.
    bool Succeeded = false;
    JobOutcome Outcome = JobOutcome::Failed;
    // The body's reason for a failure; empty after a success.
    std::string Reason;
    std::string TransferSyntaxUID;
    JobInputs Inputs;
    const JobBodyTable* Bodies = &DefaultJobBodies();
    // Progress and cancellation; read and cancel from any thread while the job runs.
    JobControl Control;

    // The job's steps: choose the day's log file for the kind, take the log level, clear the
    // pane, log the start line, run the kind's body, write the verdict to the log and the pane:
    // after a line saying what was done, or after a failure the line "Reason: " and the body's
    // reason when it gave one (a cancelled job's reason says so). An exception from the body
    // ends the job without a verdict.
    void Execute();

protected:
    void run() override;
};

// Hands the job its inputs, starts it, and lets it delete itself (on the creator's event loop)
// when it has ended; nothing waits for it.
void StartJob(MainThread* job, JobInputs inputs);
