// veskaro-cli: the window's jobs and dump from a terminal, in the current directory.

#include "AppState.h"
#include "CliReport.h"
#include "ConnectionDiagnosis.h"
#include "DcmObj.h"
#include "DiagnoseJob.h"
#include "DumpText.h"
#include "JobBodies.h"
#include "Log.h"
#include "MainThread.h"
#include "Probe.h"
#include "Setup.h"
#include "TransferSyntaxItems.h"
#include "WorkflowCli.h"

#ifdef VESKARO_CLI_PRINT
#include <QGuiApplication>
#endif

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

const char* const usageText =
    "usage: veskaro-cli COMMAND [ARGS]\n"
    "  dump FILE      print the file's transfer syntax and one line per data element\n"
    "  echo           verify the remote AE (C-ECHO) with the settings of veskaro.cfg\n"
    "  store FILE [--ts INDEX|UID]\n"
    "                 send FILE (C-STORE), converted to the transfer syntax the peer accepts;\n"
    "                 INDEX as in the TransferSyntax dialog (default 0): 0 explicit little,\n"
    "                 1 implicit little, 2 explicit big, 3 JPEG lossless, 4 JPEG lossy,\n"
    "                 5 JPEG 2000 lossless, 6 JPEG 2000 lossy\n"
    "  print FILE     print FILE (.jpg/.JPG, .bmp/.BMP, else DICOM) on the remote printer\n"
    "  find|worklist [--patient TEXT] [--from YYYYMMDD] [--to YYYYMMDD] [--accession TEXT]\n"
    "                [--modality TEXT|ALL] [--yes] [--table]\n"
    "                 study query or modality worklist query; with no filter the search must\n"
    "                 be confirmed on the terminal, or beforehand with --yes; --table prints\n"
    "                 the results as a table, one row per record\n"
    "  diagnose       check the connection step by step: resolve, TCP, TLS, A-ASSOCIATE,\n"
    "                 C-ECHO, A-RELEASE; at the first failure its reason and a hint\n"
    "  probe          list the SOP classes and transfer syntaxes the remote AE accepts\n"
    "  --json         (with every command but dump and setup) print one JSON object\n"
    "                 instead of the lines\n"
    "  setup [OPTIONS]\n"
    "                 change the given settings in veskaro.cfg; with no option print them\n"
    "    --local-aet A  --remote-host H  --remote-port P  --remote-aet R\n"
    "    --log-level 0..3 (0 not chosen, 1 No Log, 2 PDU Level, 3 Socket Level)\n"
    "    --tls on|off  --planar on|off\n"
    "    --tls-ca FILE  --tls-cert FILE  --tls-key FILE (empty text for none)\n"
    "    --tls-insecure on|off (on: accept any server certificate)\n"
    "    --tls12-only on|off (on: TLS 1.2 only; off: the highest both ends offer)\n"
    "    --film-destination I  --film-orientation I  --film-size I  --magnification I\n"
    "                   (item index in the Setup dialog's list, -1 for none)\n"
    "    --local-port P (0 none)  --mpps-host H  --mpps-port P  --mpps-aet A  --commit-wait S\n"
    "                   (veskaro-extra.cfg: listening port, MPPS manager, commitment wait)\n";

int usage() {
    std::fputs(usageText, stderr);
    std::fputs(WorkflowUsageText, stderr);
    return 2;
}

int dumpFile(const std::string& fileName) {
    DcmObj dataSet;
    if (!DcmObj::Read(dataSet, fileName, FileValues::InFile)) {
        const std::string reason = DumpUnreadableReason(fileName);
        LogMessage(reason);
        std::fprintf(stderr, "%s\n", reason.c_str());
        return 1;
    }
    std::vector<std::string> lines = DumpLines(dataSet);
    std::string out;
    for (const std::string& line : lines) {
        out += line;
        out += '\n';
        if (out.size() > (1 << 16)) {
            std::fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

void printLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// A terminal cannot take lines back; a job clears the pane before its first line, so the CLI's
// one job loses nothing by ignoring the clear. With --json the lines are kept for the object
// printed at the end instead.
class StdoutPane : public OutputPane {
public:
    explicit StdoutPane(bool keep = false) : keep(keep) {}
    void Clear() override {}
    void AppendLine(const std::string& line) override {
        if (keep)
            Lines.push_back(line);
        else
            printLine(line);
    }
    std::vector<std::string> Lines;

private:
    bool keep;
};

// The query results as a table: one row per record, one column per key, the other lines
// (the counts, the verdict) as they come once the records have ended.
class TablePane : public OutputPane {
public:
    void Clear() override {}
    void AppendLine(const std::string& line) override {
        if (ended_) {
            out_.AppendLine(line);
            return;
        }
        if (line.empty()) {
            endRow();
            return;
        }
        std::size_t colon = line.find(": ");
        if (colon == std::string::npos || colon == 0 || line.rfind("No studies: ", 0) == 0 ||
            line.rfind("No items: ", 0) == 0) {
            if (!rows_.empty() || !row_.empty()) {
                endRow();
                print();
                ended_ = true;
            }
            out_.AppendLine(line);
            return;
        }
        std::string key = line.substr(0, colon);
        auto found = std::find(columns_.begin(), columns_.end(), key);
        std::size_t column = static_cast<std::size_t>(found - columns_.begin());
        if (found == columns_.end())
            columns_.push_back(key);
        if (row_.size() <= column)
            row_.resize(column + 1);
        row_[column] = line.substr(colon + 2);
    }

private:
    void endRow() {
        if (!row_.empty())
            rows_.push_back(std::move(row_));
        row_.clear();
    }
    // Characters, not bytes, so that UTF-8 names keep the columns straight.
    static std::size_t width(const std::string& text) {
        return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
            return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        }));
    }
    void print() {
        std::vector<std::size_t> widths(columns_.size());
        for (std::size_t c = 0; c < columns_.size(); ++c) {
            widths[c] = width(columns_[c]);
            for (const auto& row : rows_)
                if (c < row.size())
                    widths[c] = std::max(widths[c], width(row[c]));
        }
        auto line = [&](const std::vector<std::string>& cells) {
            std::string text;
            for (std::size_t c = 0; c < columns_.size(); ++c) {
                std::string cell = c < cells.size() ? cells[c] : std::string();
                text += cell;
                if (c + 1 < columns_.size())
                    text += std::string(widths[c] - width(cell) + 2, ' ');
            }
            while (!text.empty() && text.back() == ' ')
                text.pop_back();
            out_.AppendLine(text);
        };
        line(columns_);
        for (const auto& row : rows_)
            line(row);
    }

    StdoutPane out_;
    std::vector<std::string> columns_;
    std::vector<std::vector<std::string>> rows_;
    std::vector<std::string> row_;
    bool ended_ = false;
};

// The job that Ctrl-C cancels; set while a job runs.
std::atomic<JobControl*> interruptible{nullptr};

extern "C" void onInterrupt(int) {
    if (JobControl* control = interruptible.load())
        control->Cancel();
}

// Runs the job; while it runs, a terminal's stderr shows its status as one line that rewrites
// itself, and Ctrl-C cancels it (the association ends with A-ABORT).
void executeJob(MainThread& job) {
    interruptible = &job.Control;
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    sigaction(SIGINT, &action, &previous);

    std::thread status;
    std::mutex lock;
    std::condition_variable wake;
    bool done = false;
    if (::isatty(STDERR_FILENO)) {
        status = std::thread([&] {
            std::size_t shown = 0;
            std::unique_lock<std::mutex> guard(lock);
            while (!wake.wait_for(guard, std::chrono::milliseconds(250), [&] { return done; })) {
                std::string text = JobStatusText(job.JobKind, job.Control.Progress());
                std::string padded = "\r" + text;
                if (text.size() < shown)
                    padded += std::string(shown - text.size(), ' ');
                shown = text.size();
                std::fputs(padded.c_str(), stderr);
                std::fflush(stderr);
            }
            if (shown > 0) {
                std::fputs(("\r" + std::string(shown, ' ') + "\r").c_str(), stderr);
                std::fflush(stderr);
            }
        });
    }
    job.Execute();
    {
        std::lock_guard<std::mutex> guard(lock);
        done = true;
    }
    wake.notify_all();
    if (status.joinable())
        status.join();
    sigaction(SIGINT, &previous, nullptr);
    interruptible = nullptr;
}

int runJob(const std::string& kind, const std::string& fileName = {},
           const std::string& transferSyntaxUid = {}) {
    AppState state = CliStartState();
    state.FileName = fileName;
    StdoutPane pane(JsonOutput);
    MainThread job;
    job.JobKind = kind;
    job.Pane = &pane;
    job.TransferSyntaxUID = transferSyntaxUid;
    job.Inputs = CaptureJobInputs(state);
    auto start = std::chrono::steady_clock::now();
    executeJob(job);
    return ReportJob(kind, job, pane.Lines, MillisecondsSince(start));
}

bool isDate(std::string_view text) {
    return text.size() == 8 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The filter exactly as the Query Filter dialog leaves it: the dates joined into "D1-", "-D2"
// or "D1-D2", no modality for "ALL". False for a usage error.
bool parseQueryFilter(const std::vector<std::string_view>& args, QueryFilter& filter, bool& yes) {
    std::string from, to, modality;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view name = args[i];
        if (name == "--yes") {
            yes = true;
            continue;
        }
        if (i + 1 >= args.size())
            return false;
        std::string_view value = args[++i];
        if (name == "--patient")
            filter.PatientName = value;
        else if (name == "--accession")
            filter.AccessionNumber = value;
        else if (name == "--modality")
            modality = value;
        else if ((name == "--from" || name == "--to") && isDate(value))
            (name == "--from" ? from : to) = value;
        else
            return false;
    }
    if (!from.empty() || !to.empty())
        filter.DateRange = from + "-" + to;
    // As in the dialog: "ALL" in any letter case is no filter.
    std::string upper = modality;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    filter.Modality = upper == "ALL" ? "" : modality;
    return true;
}

// The window's "WARNING" box for a search without filters, asked on the terminal.
bool confirmNoFilter() {
    if (!::isatty(STDIN_FILENO)) {
        std::fputs("veskaro-cli: Have no filters, search can take very long; "
                   "add --yes to search anyway\n",
                   stderr);
        return false;
    }
    std::fputs("WARNING\nHave no filters\nSearch can take very long\nOK or Cancel? [ok/cancel] ",
               stderr);
    std::fflush(stderr);
    char answer[64] = {};
    if (!std::fgets(answer, sizeof answer, stdin))
        return false;
    std::string text(answer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text == "ok" || text == "o" || text == "y" || text == "yes";
}

// FIND or WORKLIST. Exit 2 for bad options or an unconfirmed search without filters from a
// non-terminal, 1 when the search was cancelled (no job started) or failed.
int queryJob(const std::string& kind, const std::vector<std::string_view>& args) {
    QueryFilter filter;
    bool yes = false;
    bool table = false;
    std::vector<std::string_view> filterArgs;
    for (std::string_view arg : args)
        if (arg == "--table")
            table = true;
        else
            filterArgs.push_back(arg);
    if (!parseQueryFilter(filterArgs, filter, yes))
        return usage();
    bool noFilter = filter.PatientName.empty() && filter.DateRange.empty() &&
                    filter.AccessionNumber.empty() && filter.Modality.empty();
    if (noFilter && !yes && !confirmNoFilter())
        return ::isatty(STDIN_FILENO) ? 1 : 2;
    AppState state = CliStartState();
    state.Filter = filter;
    StdoutPane linePane(JsonOutput);
    TablePane tablePane;
    MainThread job;
    job.JobKind = kind;
    job.Pane = table && !JsonOutput ? static_cast<OutputPane*>(&tablePane) : &linePane;
    job.Inputs = CaptureJobInputs(state);
    auto start = std::chrono::steady_clock::now();
    executeJob(job);
    return ReportJob(kind, job, linePane.Lines, MillisecondsSince(start));
}

int diagnose() {
    AppState state = CliStartState();
    StdoutPane pane(JsonOutput);
    ConnectionDiagnosis d = RunDiagnosis(state.Settings, state.LogDir, pane, state.Extra);
    if (!JsonOutput)
        return d.Passed ? 0 : 1;
    nlohmann::json steps = nlohmann::json::array();
    for (const DiagnosisStep& step : d.Steps)
        steps.push_back({{"name", step.Name},
                         {"passed", step.Passed},
                         {"ms", step.Milliseconds},
                         {"detail", step.Detail}});
    PrintJson({{"command", "diagnose"},
               {"succeeded", d.Passed},
               {"verdict", pane.Lines.back()},
               {"reason", d.Reason},
               {"hint", d.Hint},
               {"steps", steps}});
    return d.Passed ? 0 : 1;
}

int probe() {
    AppState state = CliStartState();
    StartDiagnosticLog("PROBE", state.Settings, state.LogDir);
    ProbeResult result = ProbePeer(ConnectionSettingsFor(state.Settings, state.Extra));
    std::vector<std::string> lines = ProbeTableLines(result);
    if (!result.Completed)
        lines.push_back("Reason: " + result.Reason);
    lines.push_back(result.Completed ? "PROBE OK" : "PROBE failed");
    for (const std::string& line : lines)
        LogMessage(line);
    if (!JsonOutput) {
        for (const std::string& line : lines)
            printLine(line);
        return result.Completed ? 0 : 1;
    }
    nlohmann::json syntaxes = nlohmann::json::array();
    for (const ProbeSyntax& syntax : ProbeTransferSyntaxes())
        syntaxes.push_back({{"uid", syntax.Uid}, {"label", syntax.Label}});
    nlohmann::json classes = nlohmann::json::array();
    for (const ProbeClass& c : result.Classes)
        classes.push_back({{"uid", c.Uid},
                           {"name", c.Name},
                           {"storage", c.Storage},
                           {"accepted", c.Accepted},
                           {"result", c.Result}});
    PrintJson({{"command", "probe"},
               {"succeeded", result.Completed},
               {"verdict", lines.back()},
               {"reason", result.Reason},
               {"associations", result.Associations},
               {"timings", {{"total_ms", result.Milliseconds}}},
               {"transfer_syntaxes", syntaxes},
               {"classes", classes},
               {"summary", ProbeSummary(result)}});
    return result.Completed ? 0 : 1;
}

bool parseInt(std::string_view text, int low, int high, std::int32_t& value) {
    int parsed = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (error != std::errc() || end != text.data() + text.size() || parsed < low || parsed > high)
        return false;
    value = parsed;
    return true;
}

// --ts INDEX (an item of the TransferSyntax dialog) or --ts UID of a syntax the tool can
// write; false for anything else, which would otherwise be sent as something the user did
// not ask for.
bool parseTransferSyntax(std::string_view text, std::string& uid) {
    std::int32_t index = 0;
    if (parseInt(text, 0, static_cast<int>(TransferSyntaxItems.size()) - 1, index)) {
        uid = TransferSyntaxUIDFor(index);
        return true;
    }
    if (text == ImplicitLittleEndian) {
        uid = text;
        return true;
    }
    for (const TransferSyntaxItem& item : TransferSyntaxItems) {
        if (!item.UID.empty() && item.UID == text) {
            uid = text;
            return true;
        }
    }
    return false;
}

// Several files or directories go to the workflow commands' STORE.
int storeFiles(const std::vector<std::string_view>& args) {
    std::string uid = TransferSyntaxUIDFor(0);
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--ts") {
            if (i + 1 >= args.size() || !parseTransferSyntax(args[++i], uid))
                return usage();
        } else if (args[i].rfind("--", 0) == 0) {
            return usage();
        } else {
            paths.emplace_back(args[i]);
        }
    }
    if (paths.empty())
        return usage();
    return StoreFilesCommand(paths, uid);
}

int store(const std::vector<std::string_view>& args) {
    if (!IsSingleFileStore(args))
        return storeFiles(args);
    std::string uid = TransferSyntaxUIDFor(0);
    if (args.size() == 3 && args[1] == "--ts") {
        if (!parseTransferSyntax(args[2], uid)) {
            std::string text(args[2]);
            std::fprintf(stderr,
                         "veskaro-cli: --ts %s: not a transfer syntax this tool can send in; "
                         "give an index 0-6 or one of their UIDs\n",
                         text.c_str());
            return usage();
        }
    } else if (args.size() != 1) {
        return usage();
    }
    return runJob("STORE", std::string(args[0]), uid);
}

bool parseOnOff(std::string_view text, std::uint8_t& flag) {
    if (text != "on" && text != "off")
        return false;
    flag = text == "on" ? 1 : 0;
    return true;
}

void printSettings(const SettingsRecord& s) {
    auto onOff = [](std::uint8_t flag) { return flag ? "on" : "off"; };
    std::printf("local-aet: %s\n", SettingsText(s.LocalAET).c_str());
    std::printf("remote-host: %s\n", SettingsText(s.RemoteHost).c_str());
    std::printf("remote-port: %s\n", SettingsText(s.RemotePort).c_str());
    std::printf("remote-aet: %s\n", SettingsText(s.RemoteAET).c_str());
    std::printf("log-level: %d\n", static_cast<int>(s.LogLevel));
    std::printf("tls: %s\n", onOff(s.UseTls));
    std::printf("film-destination: %d\n", static_cast<int>(s.FilmDestinationIndex));
    std::printf("film-orientation: %d\n", static_cast<int>(s.FilmOrientationIndex));
    std::printf("film-size: %d\n", static_cast<int>(s.FilmSizeIndex));
    std::printf("magnification: %d\n", static_cast<int>(s.MagnificationIndex));
    std::printf("planar: %s\n", onOff(s.PlanarConfiguration));
}

void printExtraSettings(const ExtraSettings& e) {
    auto onOff = [](bool flag) { return flag ? "on" : "off"; };
    std::printf("tls-ca: %s\n", e.TlsCaFile.c_str());
    std::printf("tls-cert: %s\n", e.TlsCertificateFile.c_str());
    std::printf("tls-key: %s\n", e.TlsKeyFile.c_str());
    std::printf("tls-insecure: %s\n", onOff(e.TlsAcceptAnyServer));
    std::printf("tls12-only: %s\n", onOff(e.TlsPin12));
}

// A value the field cannot hold: refused with the option named, nothing is written.
bool refuse(std::string_view option, std::string_view value, const std::string& problem) {
    if (problem.empty())
        return true;
    std::fprintf(stderr, "veskaro-cli: %.*s \"%.*s\" refused: must be %s\n",
                 static_cast<int>(option.size()), option.data(), static_cast<int>(value.size()),
                 value.data(), problem.c_str());
    return false;
}

// Loads, changes the given fields and saves as the Setup dialog's OK does. Nothing is written
// unless every option is valid.
int setup(const std::vector<std::string_view>& allArgs) {
    std::string fileName = SettingsFileName(StartDirFor(CliCurrentDir()));
    std::string extraName = ExtraSettingsFileName(StartDirFor(CliCurrentDir()));
    SettingsRecord s = LoadSettingsOrDefaults(fileName);
    ExtraSettings extra = LoadExtraSettings(extraName);
    if (allArgs.empty()) {
        printSettings(s);
        printExtraSettings(extra);
        PrintExtraSettings();
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    // The listening port, MPPS and commitment options are taken out first; the rest below.
    std::vector<std::string_view> args = allArgs;
    ExtraSetupChanges workflowChanges;
    if (!TakeExtraSetupOptions(args, workflowChanges))
        return usage();
    bool extraChanged = false;
    auto text = [&](std::string& field) {
        return [&](std::string_view v) {
            field = v;
            extraChanged = true;
            return true;
        };
    };
    auto flag = [&](bool& field) {
        return [&](std::string_view v) {
            std::uint8_t on = 0;
            if (!parseOnOff(v, on))
                return false;
            field = on != 0;
            extraChanged = true;
            return true;
        };
    };
    auto checked = [](std::string_view option, auto problem, auto& field) {
        return [option, problem, &field](std::string_view v) {
            if (!refuse(option, v, problem(v)))
                return false;
            SetSettingsText(field, v);
            return true;
        };
    };

    auto index = [](std::int32_t& field, std::size_t listSize) {
        return [&field, listSize](std::string_view v) {
            return parseInt(v, -1, static_cast<int>(listSize) - 1, field);
        };
    };
    struct Option {
        std::string_view name;
        std::function<bool(std::string_view)> apply;
    };
    const Option options[] = {
        {"--local-aet", checked("--local-aet", AETitleProblem, s.LocalAET)},
        {"--remote-host", checked("--remote-host", HostProblem, s.RemoteHost)},
        {"--remote-port", checked("--remote-port", PortProblem, s.RemotePort)},
        {"--remote-aet", checked("--remote-aet", AETitleProblem, s.RemoteAET)},
        {"--log-level", [&](std::string_view v) { return parseInt(v, 0, 3, s.LogLevel); }},
        {"--tls", [&](std::string_view v) { return parseOnOff(v, s.UseTls); }},
        {"--film-destination", index(s.FilmDestinationIndex, FilmDestinationItems.size())},
        {"--film-orientation", index(s.FilmOrientationIndex, FilmOrientationItems.size())},
        {"--film-size", index(s.FilmSizeIndex, FilmSizeItems.size())},
        {"--magnification", index(s.MagnificationIndex, MagnificationItems.size())},
        {"--planar", [&](std::string_view v) { return parseOnOff(v, s.PlanarConfiguration); }},
        {"--tls-ca", text(extra.TlsCaFile)},
        {"--tls-cert", text(extra.TlsCertificateFile)},
        {"--tls-key", text(extra.TlsKeyFile)},
        {"--tls-insecure", flag(extra.TlsAcceptAnyServer)},
        {"--tls12-only", flag(extra.TlsPin12)},
    };
    for (std::size_t i = 0; i < args.size(); i += 2) {
        const Option* option = nullptr;
        for (const Option& candidate : options)
            if (candidate.name == args[i])
                option = &candidate;
        if (!option || i + 1 >= args.size() || !option->apply(args[i + 1]))
            return usage();
    }
    if (!args.empty() && !SaveSettings(fileName, s)) {
        std::fprintf(stderr, "veskaro-cli: cannot write %s\n", fileName.c_str());
        return 1;
    }
    if (extraChanged && !SaveExtraSettings(extraName, extra)) {
        std::fprintf(stderr, "veskaro-cli: cannot write %s\n", extraName.c_str());
        return 1;
    }
    return SaveExtraSetup(workflowChanges) ? 0 : 1;
}

#ifdef VESKARO_CLI_PRINT
// Without XDG_RUNTIME_DIR Qt warns on standard error and picks a shared fallback; the offscreen
// application gets a directory of its own for this run instead, removed at the end.
class PrivateRuntimeDir {
public:
    PrivateRuntimeDir() {
        if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
            return;
        std::error_code error;
        std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
        if (error)
            temporary = "/tmp";
        std::string pattern = (temporary / "veskaro-cli-XXXXXX").string();
        if (::mkdtemp(pattern.data())) {
            path_ = pattern;
            qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(path_));
        }
    }
    ~PrivateRuntimeDir() {
        if (path_.empty())
            return;
        std::error_code error;
        std::filesystem::remove_all(path_, error);
        qunsetenv("XDG_RUNTIME_DIR");
    }
    PrivateRuntimeDir(const PrivateRuntimeDir&) = delete;
    PrivateRuntimeDir& operator=(const PrivateRuntimeDir&) = delete;

private:
    std::string path_;
};

int printCommand(int argc, char** argv) {
    // Waveform pages are drawn with fonts, which need a GUI application; no window is shown.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    PrivateRuntimeDir runtime;
    QGuiApplication application(argc, argv);
    // Qt took the locale from the environment; DICOM numbers always use a full stop.
    std::setlocale(LC_NUMERIC, "C");
    return runJob("PRINT", argv[2]);
}
#else
// Loading Qt Gui and its two dozen libraries costs more than a whole echo, so this program has
// no print body and hands printing to veskaro-cli-print, which lies beside it.
[[noreturn]] void execPrintProgram(char** argv) {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    std::filesystem::path program = self.parent_path() / "veskaro-cli-print";
    std::string why;
    if (error) {
        why = error.message();
    } else {
        argv[0] = const_cast<char*>("veskaro-cli-print");
        execv(program.c_str(), argv);
        why = std::strerror(errno);
    }
    std::fprintf(stderr, "veskaro-cli: cannot start %s for printing (%s)\n", program.c_str(),
                 why.c_str());
    std::exit(1);
}
#endif

int run(int argc, char** argv) {
    if (argc < 2)
        return usage();
    std::string command = argv[1];
#ifdef VESKARO_CLI_PRINT
    RegisterServiceJobBodies(DefaultJobBodies());
#else
    if (command == "print")
        execPrintProgram(argv);
    RegisterNetworkJobBodies(DefaultJobBodies());
#endif
    // --json anywhere after a command that reports a result.
    static const char* const reporting[] = {"echo",   "store",    "find",  "worklist",
                                            "print",  "diagnose", "probe", "mpps",
                                            "commit", "move",     "get",   "workflow"};
    if (std::find_if(std::begin(reporting), std::end(reporting),
                     [&](const char* c) { return command == c; }) != std::end(reporting)) {
        char** end = std::remove_if(
            argv + 2, argv + argc, [](const char* arg) { return std::strcmp(arg, "--json") == 0; });
        JsonOutput = end != argv + argc;
        argc = static_cast<int>(end - argv);
    }
    if (command == "diagnose" && argc == 2)
        return diagnose();
    if (command == "probe" && argc == 2)
        return probe();
    if (command == "dump" && argc == 3)
        return dumpFile(argv[2]);
    if (command == "--help" || command == "help") {
        std::fputs(usageText, stdout);
        std::fputs(WorkflowUsageText, stdout);
        return 0;
    }
    // Every other command keeps its settings and logs in the current directory.
    if (CurrentStartDirectory().empty()) {
        std::fputs(StartDirectoryGoneText("veskaro-cli").c_str(), stderr);
        return 2;
    }
    if (command == "echo" && argc == 2)
        return runJob("ECHO");
    if (command == "store")
        return store(std::vector<std::string_view>(argv + 2, argv + argc));
#ifdef VESKARO_CLI_PRINT
    if (command == "print" && argc == 3)
        return printCommand(argc, argv);
#endif
    if (command == "find" || command == "worklist") {
        std::vector<std::string_view> args(argv + 2, argv + argc);
        if (command == "find" && IsLevelFind(args))
            return LevelFindCommand(args);
        return queryJob(command == "find" ? "FIND" : "WORKLIST", args);
    }
    if (IsWorkflowCommand(command))
        return WorkflowCommand(command, std::vector<std::string_view>(argv + 2, argv + argc));
    if (command == "setup")
        return setup(std::vector<std::string_view>(argv + 2, argv + argc));
    return usage();
}

} // namespace

int main(int argc, char** argv) {
    // Jobs turn their own failures into verdicts; what is left (no memory) ends the command.
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "veskaro-cli: %s\n", e.what());
        return 1;
    }
}
