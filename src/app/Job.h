#pragma once
// What a worker job hands its body, and the table through which the services plug their
// bodies in. Qt-free: the job's thread is MainThread's business, not the bodies'.

#include "AppState.h"
#include "BatchControl.h"
#include "JobControl.h"

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Where a job's result lines go. The window's pane carries both operations over to the window
// thread in the order they are made; the CLI's writes to stdout. Called from the job's thread.
class OutputPane {
public:
    virtual ~OutputPane() = default;
    virtual void Clear() = 0;
    virtual void AppendLine(const std::string& line) = 0;
};

// How a body ended. EndedWithoutVerdict skips the verdict line (PRINT with an unreadable file).
enum class JobOutcome { Succeeded, Failed, EndedWithoutVerdict };

// Copies of the program state taken when the job is started, so a body never races the window
// thread, which may change the originals while the job runs.
struct JobInputs {
    SettingsRecord Settings;
    ExtraSettings Extra;
    QueryFilter Filter;
    std::string FileName;
    std::string LogDir;
    // STORE of several files or directories; empty for the one file of FileName.
    std::vector<std::string> FileNames;
    // Progress reports and cancellation, for the jobs that offer them; may be null.
    std::shared_ptr<BatchControl> Control;
    // What the workflow kinds are asked to do.
    WorkflowInputs Workflow;
};

JobInputs CaptureJobInputs(const AppState& state);

// The job as its body sees it; valid for the duration of the body's call.
struct JobContext {
    const std::string& JobKind;
    // Target transfer syntax of a STORE job; empty for implicit VR little endian.
    const std::string& TransferSyntaxUID;
    const JobInputs& Inputs;
    // The socket read time-out for the association layer (PRINT chooses its own inside
    // PrintSCU; the value is passed anyway).
    int ReadTimeoutSeconds;
    OutputPane& Pane;
    // What a succeeded body adds to the line that says what was done (", film ...").
    std::string ResultDetail{};
    // Why the job failed, in plain words, set by the body; the job writes it before its
    // verdict as "Reason: " and the text.
    std::string Reason = {};
};

using JobBody = std::function<JobOutcome(JobContext&)>;

// The live status of a running job, one line: "STORE: sending, 12.0 s, 120.5 of 524.0 MB,
// 10.0 MB/s". The window shows it at the end of the pane, the CLI on a terminal's stderr.
std::string JobStatusText(std::string_view kind, const JobProgress& progress);

// The line before the failure verdict of a job the user cancelled.
inline constexpr const char* CancelledReason = "Reason: cancelled by the user";

// The five kinds, in the order the job compares its kind with them.
inline constexpr std::array<std::string_view, 5> JobKinds = {"ECHO", "STORE", "FIND", "WORKLIST",
                                                             "PRINT"};
// The kinds of a modality's workflow beyond the five services, compared after them.
inline constexpr std::array<std::string_view, 5> WorkflowJobKinds = {"MPPS", "COMMIT", "MOVE",
                                                                     "GET", "WORKFLOW"};

// Index into JobKinds, then WorkflowJobKinds (counted on from 5), of the first kind equal to
// kind; -1 for none.
int JobKindIndex(std::string_view kind);

// ECHO 100, STORE 120, FIND 30, WORKLIST 30, PRINT 100 seconds; MPPS 30, COMMIT 30, MOVE 120,
// GET 120, WORKFLOW 120; 0 for an unknown kind.
int JobReadTimeoutSeconds(std::string_view kind);

// One body per kind. A kind without a body ends in the failure verdict. Fill the table before
// the first job starts: jobs read it without a lock.
class JobBodyTable {
public:
    // Replaces the kind's body; false (and nothing stored) for a kind not in JobKinds.
    bool Register(std::string_view kind, JobBody body);
    // The kind's body, or nullptr when there is none.
    const JobBody* Find(std::string_view kind) const;

private:
    std::array<JobBody, JobKinds.size() + WorkflowJobKinds.size()> bodies_;
};

// The table the window and the CLI register the services' bodies in.
JobBodyTable& DefaultJobBodies();
