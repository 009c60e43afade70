// veskaro-cli's workflow commands: several files with a progress line, and Ctrl-C that stops
// the job between files, aborting its association.

#include "WorkflowCli.h"

#include "AppState.h"
#include "BatchControl.h"
#include "CliReport.h"
#include "ExtraSettings.h"
#include "MainThread.h"
#include "Setup.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <vector>

#include <unistd.h>

const char* const WorkflowUsageText =
    "  store FILE|DIR... [--ts INDEX|UID]\n"
    "                 several files, or directories (recursively): one association while the\n"
    "                 classes fit in 128 contexts; a progress line on a terminal, else one line\n"
    "                 per file; sent, failed and skipped (not DICOM) counted; Ctrl-C stops\n"
    "  mpps start [--worklist-item N] [--patient TEXT] [--from YYYYMMDD] [--to YYYYMMDD]\n"
    "             [--accession TEXT] [--modality TEXT|ALL]\n"
    "                 query the worklist, take item N (default 1), report it IN PROGRESS\n"
    "                 (N-CREATE); prints the step's instance UID\n"
    "  mpps complete|discontinue --mpps UID FILE|DIR...\n"
    "                 report the step COMPLETED or DISCONTINUED (N-SET) with the files'\n"
    "                 series and instances\n"
    "  find --level study|series|image [--root study|patient] [--patient-id ID]\n"
    "       [--study UID] [--series UID] [--image UID]\n"
    "                 query at series or image level (they need --study; Patient Root also\n"
    "                 --patient-id); --level study alone is the study query above\n"
    "  workflow --worklist-item N [--patient TEXT] [--from YYYYMMDD] [--to YYYYMMDD]\n"
    "           [--accession TEXT] [--modality TEXT|ALL] FILE|DIR...\n"
    "                 the scheduled workflow, each step with its mark and time: worklist\n"
    "                 query, MPPS in progress, store under the item's patient and study,\n"
    "                 MPPS completed, storage commitment, study query back; stops at the\n"
    "                 first failure with its reason\n"
    "  move|get --study UID [--series UID [--image UID]] [--root study|patient]\n"
    "           [--patient-id ID]\n"
    "                 retrieve the study, series or image into received/ here: move asks the\n"
    "                 remote AE to send it to our AE title, received on the local port (the\n"
    "                 remote AE must know that title, host and port); get receives it on the\n"
    "                 same association; lists the files, then completed, failed and warning\n"
    "                 sub-operations (Patient Root also needs --patient-id)\n"
    "  commit FILE|DIR...\n"
    "                 ask the remote AE to commit to the files' instances (N-ACTION) and wait\n"
    "                 for its report, on the same association or on a new one to the local\n"
    "                 port; committed and failed references listed\n";

namespace {

// The status line lives on standard error; pane lines go to standard output and first wipe
// the status line when both share the terminal.
class StatusLine {
public:
    StatusLine() : terminal(::isatty(STDERR_FILENO) != 0) {}
    bool Terminal() const { return terminal; }

    void Show(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        std::fprintf(stderr, "\r%s\033[K", text.c_str());
        std::fflush(stderr);
        shown = true;
    }
    void Wipe() {
        std::lock_guard<std::mutex> lock(mutex);
        if (!shown)
            return;
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        shown = false;
    }

private:
    std::mutex mutex;
    bool terminal;
    bool shown = false;
};

// With --json the lines are kept for the object printed at the end instead.
class CliPane : public OutputPane {
public:
    explicit CliPane(StatusLine& status) : status(status) {}
    void Clear() override {}
    void AppendLine(const std::string& line) override {
        if (JsonOutput) {
            Lines.push_back(line);
            return;
        }
        status.Wipe();
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    std::vector<std::string> Lines;

private:
    StatusLine& status;
};

// The control of the job that runs now; the handler only sets its flag.
std::atomic<bool>* interruptFlag = nullptr;

extern "C" void onBatchInterrupt(int) {
    if (interruptFlag)
        interruptFlag->store(true);
}

// Ctrl-C asks the job to stop; a second one ends the program.
class InterruptGuard {
public:
    explicit InterruptGuard(BatchControl& control) {
        interruptFlag = &control.Cancelled;
        struct sigaction action {};
        action.sa_handler = onBatchInterrupt;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &previous);
    }
    ~InterruptGuard() {
        sigaction(SIGINT, &previous, nullptr);
        interruptFlag = nullptr;
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    struct sigaction previous {};
};

// Runs the job on this thread with the progress shown as a line or one line per file.
int runControlledJob(MainThread& job, BatchControl& control, StatusLine& status,
                     const CliPane& pane) {
    control.Progress = [&status](const BatchProgress& p) {
        if (status.Terminal()) {
            status.Show(ProgressText(p));
            return;
        }
        if (JsonOutput)
            return;
        std::printf("%zu/%zu %s: %s\n", p.FilesDone, p.FilesTotal, p.FileName.c_str(),
                    p.Result.c_str());
        std::fflush(stdout);
    };
    auto start = std::chrono::steady_clock::now();
    {
        InterruptGuard guard(control);
        job.Execute();
    }
    status.Wipe();
    int exitStatus = ReportJob(job.JobKind, job, pane.Lines, MillisecondsSince(start));
    return control.Cancelled.load() ? 130 : exitStatus;
}

} // namespace

bool IsSingleFileStore(const std::vector<std::string_view>& args) {
    if (args.size() != 1 && !(args.size() == 3 && args[1] == "--ts"))
        return false;
    std::error_code error;
    std::filesystem::path path(args[0]);
    return !std::filesystem::is_directory(path, error);
}

int StoreFilesCommand(const std::vector<std::string>& paths, const std::string& transferSyntaxUid) {
    AppState state = CliStartState();
    StatusLine status;
    CliPane pane(status);
    auto control = std::make_shared<BatchControl>();
    MainThread job;
    job.JobKind = "STORE";
    job.Pane = &pane;
    job.TransferSyntaxUID = transferSyntaxUid;
    job.Inputs = CaptureJobInputs(state);
    job.Inputs.FileNames = paths;
    job.Inputs.Control = control;
    return runControlledJob(job, *control, status, pane);
}

namespace {

// --name value pairs of the allowed names, and everything else as a file; false for an
// unknown option or one without a value.
bool parseOptions(const std::vector<std::string_view>& args,
                  const std::vector<std::string_view>& allowed,
                  std::map<std::string, std::string, std::less<>>& options,
                  std::vector<std::string>& files) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i].rfind("--", 0) != 0) {
            files.emplace_back(args[i]);
            continue;
        }
        if (std::find(allowed.begin(), allowed.end(), args[i]) == allowed.end() ||
            i + 1 >= args.size())
            return false;
        options[std::string(args[i])] = std::string(args[i + 1]);
        ++i;
    }
    return true;
}

bool parseCount(const std::string& text, int& value) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value >= 1;
}

bool isDate(const std::string& text) {
    return text.size() == 8 && text.find_first_not_of("0123456789") == std::string::npos;
}

// The Query Filter dialog's fields from --patient, --from, --to, --accession, --modality.
bool filterFrom(const std::map<std::string, std::string, std::less<>>& options,
                QueryFilter& filter) {
    auto value = [&](const char* name) {
        auto it = options.find(name);
        return it == options.end() ? std::string() : it->second;
    };
    std::string from = value("--from"), to = value("--to");
    if ((!from.empty() && !isDate(from)) || (!to.empty() && !isDate(to)))
        return false;
    filter.PatientName = value("--patient");
    filter.AccessionNumber = value("--accession");
    if (!from.empty() || !to.empty())
        filter.DateRange = from + "-" + to;
    std::string modality = value("--modality");
    filter.Modality = modality == "ALL" ? "" : modality;
    return true;
}

const std::vector<std::string_view> filterOptions = {"--patient", "--from", "--to", "--accession",
                                                     "--modality"};

// The job's inputs from the start directory's two settings files.
JobInputs workflowInputs() {
    AppState state = CliStartState();
    return CaptureJobInputs(state);
}

int usageError() {
    std::fputs("veskaro-cli: wrong arguments; see veskaro-cli help\n", stderr);
    return 2;
}

int runWorkflowJob(const std::string& kind, JobInputs inputs) {
    StatusLine status;
    CliPane pane(status);
    auto control = std::make_shared<BatchControl>();
    MainThread job;
    job.JobKind = kind;
    job.Pane = &pane;
    inputs.Control = control;
    job.Inputs = std::move(inputs);
    return runControlledJob(job, *control, status, pane);
}

int mppsCommand(const std::vector<std::string_view>& args) {
    if (args.empty())
        return usageError();
    std::string action(args[0]);
    std::vector<std::string_view> rest(args.begin() + 1, args.end());
    std::map<std::string, std::string, std::less<>> options;
    std::vector<std::string> files;
    JobInputs inputs = workflowInputs();
    inputs.Workflow.Action = action;
    if (action == "start") {
        std::vector<std::string_view> allowed = filterOptions;
        allowed.push_back("--worklist-item");
        if (!parseOptions(rest, allowed, options, files) || !files.empty() ||
            !filterFrom(options, inputs.Filter))
            return usageError();
        if (options.count("--worklist-item") &&
            !parseCount(options["--worklist-item"], inputs.Workflow.WorklistItem))
            return usageError();
    } else if (action == "complete" || action == "discontinue") {
        if (!parseOptions(rest, {"--mpps"}, options, files) || !options.count("--mpps"))
            return usageError();
        inputs.Workflow.MppsInstanceUID = options["--mpps"];
        inputs.FileNames = files;
    } else {
        return usageError();
    }
    return runWorkflowJob("MPPS", std::move(inputs));
}

int commitCommand(const std::vector<std::string_view>& args) {
    std::map<std::string, std::string, std::less<>> options;
    std::vector<std::string> files;
    if (!parseOptions(args, {}, options, files) || files.empty())
        return usageError();
    JobInputs inputs = workflowInputs();
    inputs.FileNames = files;
    return runWorkflowJob("COMMIT", std::move(inputs));
}

// The level's keys from --study, --series and --image (and the root's); false when a key the
// level needs is missing.
bool levelKeysFrom(std::map<std::string, std::string, std::less<>>& options, WorkflowInputs& w) {
    std::string level = options.count("--level") ? options["--level"] : "study";
    if (level != "study" && level != "series" && level != "image")
        return false;
    std::string root = options.count("--root") ? options["--root"] : "study";
    if (root != "study" && root != "patient")
        return false;
    w.Level = level == "study" ? "STUDY" : level == "series" ? "SERIES" : "IMAGE";
    w.PatientRoot = root == "patient";
    w.PatientID = options["--patient-id"];
    w.StudyInstanceUID = options["--study"];
    w.SeriesInstanceUID = options["--series"];
    w.SOPInstanceUID = options["--image"];
    if (w.PatientRoot && w.PatientID.empty())
        return false;
    return w.Level == "STUDY" || !w.StudyInstanceUID.empty();
}

// move|get --study UID [--series UID [--image UID]]: the level is the deepest key given.
int retrieveCommand(const std::string& kind, const std::vector<std::string_view>& args) {
    std::map<std::string, std::string, std::less<>> options;
    std::vector<std::string> files;
    JobInputs inputs = workflowInputs();
    if (!parseOptions(args, {"--root", "--patient-id", "--study", "--series", "--image"}, options,
                      files) ||
        !files.empty() || !options.count("--study") ||
        (options.count("--image") && !options.count("--series")))
        return usageError();
    options["--level"] = options.count("--image")    ? "image"
                         : options.count("--series") ? "series"
                                                     : "study";
    if (!levelKeysFrom(options, inputs.Workflow))
        return usageError();
    return runWorkflowJob(kind, std::move(inputs));
}

int workflowCommand(const std::vector<std::string_view>& args) {
    std::vector<std::string_view> allowed = filterOptions;
    allowed.push_back("--worklist-item");
    std::map<std::string, std::string, std::less<>> options;
    std::vector<std::string> files;
    JobInputs inputs = workflowInputs();
    if (!parseOptions(args, allowed, options, files) || files.empty() ||
        !options.count("--worklist-item") ||
        !parseCount(options["--worklist-item"], inputs.Workflow.WorklistItem) ||
        !filterFrom(options, inputs.Filter))
        return usageError();
    inputs.FileNames = files;
    return runWorkflowJob("WORKFLOW", std::move(inputs));
}

} // namespace

bool IsLevelFind(std::vector<std::string_view>& args) {
    bool other = false;
    for (std::size_t i = 0; i < args.size(); ++i)
        if (args[i] == "--root" || args[i] == "--study" || args[i] == "--series" ||
            args[i] == "--image" || args[i] == "--patient-id" ||
            (args[i] == "--level" && (i + 1 >= args.size() || args[i + 1] != "study")))
            other = true;
    if (other)
        return true;
    for (std::size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "--level") {
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
                       args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
            break;
        }
    return false;
}

int LevelFindCommand(const std::vector<std::string_view>& args) {
    std::map<std::string, std::string, std::less<>> options;
    std::vector<std::string> files;
    JobInputs inputs = workflowInputs();
    if (!parseOptions(args, {"--level", "--root", "--patient-id", "--study", "--series", "--image"},
                      options, files) ||
        !files.empty() || !levelKeysFrom(options, inputs.Workflow))
        return usageError();
    return runWorkflowJob("FIND", std::move(inputs));
}

bool IsWorkflowCommand(std::string_view command) {
    return command == "mpps" || command == "commit" || command == "workflow" || command == "move" ||
           command == "get";
}

int WorkflowCommand(std::string_view command, const std::vector<std::string_view>& args) {
    if (command == "mpps")
        return mppsCommand(args);
    if (command == "commit")
        return commitCommand(args);
    if (command == "workflow")
        return workflowCommand(args);
    if (command == "move" || command == "get")
        return retrieveCommand(command == "move" ? "MOVE" : "GET", args);
    return usageError();
}

bool TakeExtraSetupOptions(std::vector<std::string_view>& args, ExtraSetupChanges& changes) {
    std::vector<std::string_view> rest;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view name = args[i];
        bool extra = name == "--local-port" || name == "--mpps-host" || name == "--mpps-port" ||
                     name == "--mpps-aet" || name == "--commit-wait";
        if (!extra) {
            rest.push_back(name);
            continue;
        }
        if (i + 1 >= args.size())
            return false;
        std::string value(args[++i]);
        int number = 0;
        auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
        bool isNumber = error == std::errc() && end == value.data() + value.size();
        if (name == "--local-port") {
            if (!isNumber || number < 0 || number > 65535)
                return false;
            changes.LocalPort = number;
        } else if (name == "--commit-wait") {
            if (!isNumber || number < 1)
                return false;
            changes.CommitWaitSeconds = number;
        } else if (name == "--mpps-host") {
            changes.MppsHost = value;
        } else if (name == "--mpps-port") {
            changes.MppsPort = value;
        } else {
            changes.MppsAETitle = value;
        }
    }
    args = rest;
    return true;
}

bool SaveExtraSetup(const ExtraSetupChanges& c) {
    if (c.Empty())
        return true;
    std::string fileName = ExtraSettingsFileName(StartDirFor(CliCurrentDir()));
    ExtraSettings s = LoadExtraSettings(fileName);
    if (c.LocalPort)
        s.LocalPort = *c.LocalPort;
    if (c.MppsHost)
        s.MppsHost = *c.MppsHost;
    if (c.MppsPort)
        s.MppsPort = *c.MppsPort;
    if (c.MppsAETitle)
        s.MppsAETitle = *c.MppsAETitle;
    if (c.CommitWaitSeconds)
        s.CommitWaitSeconds = *c.CommitWaitSeconds;
    if (SaveExtraSettings(fileName, s))
        return true;
    std::fprintf(stderr, "veskaro-cli: cannot write %s\n", fileName.c_str());
    return false;
}

void PrintExtraSettings() {
    std::string fileName = ExtraSettingsFileName(StartDirFor(CliCurrentDir()));
    std::error_code error;
    // Without the file, setup prints what it always printed.
    if (!std::filesystem::exists(fileName, error))
        return;
    ExtraSettings s = LoadExtraSettings(fileName);
    std::printf("local-port: %d\n", s.LocalPort);
    std::printf("mpps-host: %s\n", s.MppsHost.c_str());
    std::printf("mpps-port: %s\n", s.MppsPort.c_str());
    std::printf("mpps-aet: %s\n", s.MppsAETitle.c_str());
    std::printf("commit-wait: %d\n", s.CommitWaitSeconds);
}
