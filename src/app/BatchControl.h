#pragma once
// What a job that works through several files shares with whoever started it: a way to ask it
// to stop, and a report after each file. Qt-free, like the job bodies.

#include "ExtraSettings.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

struct BatchProgress {
    std::size_t FilesDone = 0;
    std::size_t FilesTotal = 0;
    std::uintmax_t BytesDone = 0;
    std::uintmax_t BytesTotal = 0;
    double SecondsElapsed = 0;
    std::string FileName;
    // What became of the file: "sent", "failed: " and the reason, "skipped: not DICOM".
    std::string Result;
};

class BatchControl {
public:
    // Set from any thread (a Cancel button, a signal handler); the job stops at its next check.
    std::atomic<bool> Cancelled{false};
    // Set before the job starts; called on the job's thread.
    std::function<void(const BatchProgress&)> Progress;
};

// "12/40 files, 35.2/120.0 MB, 4.1 MB/s, 0:21 left": the figures of a progress line.
std::string ProgressText(const BatchProgress& progress);

// What a workflow job (MPPS, COMMIT, MOVE, GET, WORKFLOW) is asked to do; its files are the
// inputs' FileNames.
struct WorkflowInputs {
    // MPPS: "start", "complete" or "discontinue".
    std::string Action;
    // The worklist item the step is performed for, counted from 1 in the query's answer.
    int WorklistItem = 1;
    // MPPS complete and discontinue: the step's instance.
    std::string MppsInstanceUID;
    // FIND at another level than the study's (empty or "STUDY": the study query), and MOVE
    // and GET: "STUDY", "SERIES" or "IMAGE".
    std::string Level;
    bool PatientRoot = false;
    std::string PatientID;
    // The level's keys.
    std::string StudyInstanceUID;
    std::string SeriesInstanceUID;
    std::string SOPInstanceUID;
    // MOVE and GET: where the objects received are written (the start directory's
    // "received").
    std::string ReceiveDir;
};
