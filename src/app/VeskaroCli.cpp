// veskaro-cli: the window's jobs and dump from a terminal, in the current directory.

#include "AppState.h"
#include "ConnectionDiagnosis.h"
#include "DcmObj.h"
#include "DiagnoseJob.h"
#include "JobBodies.h"
#include "Log.h"
#include "MainThread.h"
#include "Probe.h"
#include "Setup.h"
#include "TransferSyntaxItems.h"

#include <QGuiApplication>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>
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
    "                [--modality TEXT|ALL] [--yes]\n"
    "                 study query or modality worklist query; with no filter the search must\n"
    "                 be confirmed on the terminal, or beforehand with --yes\n"
    "  diagnose       check the connection step by step: resolve, TCP, TLS, A-ASSOCIATE,\n"
    "                 C-ECHO, A-RELEASE; at the first failure its reason and a hint\n"
    "  probe          list the SOP classes and transfer syntaxes the remote AE accepts\n"
    "  --json         (with echo, store, find, worklist, print, diagnose, probe) print one\n"
    "                 JSON object instead of the lines\n"
    "  setup [OPTIONS]\n"
    "                 change the given settings in veskaro.cfg; with no option print them\n"
    "    --local-aet A  --remote-host H  --remote-port P  --remote-aet R\n"
    "    --log-level 0..3 (0 not chosen, 1 No Log, 2 PDU Level, 3 Socket Level)\n"
    "    --tls on|off  --planar on|off\n"
    "    --film-destination I  --film-orientation I  --film-size I  --magnification I\n"
    "                   (item index in the Setup dialog's list, -1 for none)\n";

int usage() {
    std::fputs(usageText, stderr);
    return 2;
}

int dumpFile(const std::string& fileName) {
    DcmObj dataSet;
    if (!DcmObj::Read(dataSet, fileName))
        return 1;
    std::vector<std::string> lines;
    lines.push_back("Transfer Syntax: " + dataSet.transferSyntax);
    dataSet.Dump(lines, 0);
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

bool jsonOutput = false;

void printJson(const nlohmann::json& object) {
    printLine(object.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
}

// The result records of a query as the pane shows them: blocks of "Key: Value" lines, each
// closed by an empty line.
nlohmann::json paneRecords(const std::vector<std::string>& lines) {
    nlohmann::json records = nlohmann::json::array();
    nlohmann::json record = nlohmann::json::object();
    for (const std::string& line : lines) {
        std::size_t colon = line.find(": ");
        if (line.empty()) {
            if (!record.empty())
                records.push_back(record);
            record = nlohmann::json::object();
        } else if (colon != std::string::npos) {
            record[line.substr(0, colon)] = line.substr(colon + 2);
        } else {
            record = nlohmann::json::object();
        }
    }
    return records;
}

long millisecondsSince(std::chrono::steady_clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
}

// The job's one JSON object: its verdict (the pane's last line), reason, time and lines.
int reportJob(const std::string& kind, MainThread& job, const StdoutPane& pane, long ms) {
    if (!jsonOutput)
        return job.Succeeded ? 0 : 1;
    nlohmann::json object;
    std::string command = kind;
    std::transform(command.begin(), command.end(), command.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    object["command"] = command;
    object["succeeded"] = job.Succeeded;
    object["verdict"] = pane.Lines.empty() || job.Outcome == JobOutcome::EndedWithoutVerdict
                            ? std::string()
                            : pane.Lines.back();
    object["reason"] = job.Reason;
    object["timings"] = {{"total_ms", ms}};
    object["lines"] = pane.Lines;
    if (kind == "FIND" || kind == "WORKLIST")
        object["records"] = paneRecords(pane.Lines);
    printJson(object);
    return job.Succeeded ? 0 : 1;
}

std::string currentDir() {
    std::error_code error;
    return std::filesystem::current_path(error).string();
}

// The current directory as the window's start directory, with its logs folder and settings.
AppState startState() {
    AppState state;
    InitStartDir(state, currentDir());
    state.Settings = LoadSettingsOrDefaults(SettingsFileName(state.StartDir));
    return state;
}

int runJob(const std::string& kind, const std::string& fileName = {},
           const std::string& transferSyntaxUid = {}) {
    AppState state = startState();
    state.FileName = fileName;
    StdoutPane pane(jsonOutput);
    MainThread job;
    job.JobKind = kind;
    job.Pane = &pane;
    job.TransferSyntaxUID = transferSyntaxUid;
    job.Inputs = CaptureJobInputs(state);
    auto start = std::chrono::steady_clock::now();
    job.Execute();
    return reportJob(kind, job, pane, millisecondsSince(start));
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
    filter.Modality = modality == "ALL" ? "" : modality;
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
    if (!parseQueryFilter(args, filter, yes))
        return usage();
    bool noFilter = filter.PatientName.empty() && filter.DateRange.empty() &&
                    filter.AccessionNumber.empty() && filter.Modality.empty();
    if (noFilter && !yes && !confirmNoFilter())
        return ::isatty(STDIN_FILENO) ? 1 : 2;
    AppState state = startState();
    state.Filter = filter;
    StdoutPane pane(jsonOutput);
    MainThread job;
    job.JobKind = kind;
    job.Pane = &pane;
    job.Inputs = CaptureJobInputs(state);
    auto start = std::chrono::steady_clock::now();
    job.Execute();
    return reportJob(kind, job, pane, millisecondsSince(start));
}

int diagnose() {
    AppState state = startState();
    StdoutPane pane(jsonOutput);
    ConnectionDiagnosis d = RunDiagnosis(state.Settings, state.LogDir, pane);
    if (!jsonOutput)
        return d.Passed ? 0 : 1;
    nlohmann::json steps = nlohmann::json::array();
    for (const DiagnosisStep& step : d.Steps)
        steps.push_back({{"name", step.Name},
                         {"passed", step.Passed},
                         {"ms", step.Milliseconds},
                         {"detail", step.Detail}});
    printJson({{"command", "diagnose"},
               {"succeeded", d.Passed},
               {"verdict", pane.Lines.back()},
               {"reason", d.Reason},
               {"hint", d.Hint},
               {"steps", steps}});
    return d.Passed ? 0 : 1;
}

int probe() {
    AppState state = startState();
    StartDiagnosticLog("PROBE", state.Settings, state.LogDir);
    ProbeResult result = ProbePeer(ConnectionSettingsFor(state.Settings));
    std::vector<std::string> lines = ProbeTableLines(result);
    if (!result.Completed)
        lines.push_back("Reason: " + result.Reason);
    lines.push_back(result.Completed ? "PROBE OK" : "PROBE failed");
    for (const std::string& line : lines)
        LogMessage(line);
    if (!jsonOutput) {
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
    printJson({{"command", "probe"},
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

// --ts INDEX or --ts UID; false for anything else.
bool parseTransferSyntax(std::string_view text, std::string& uid) {
    std::int32_t index = 0;
    if (parseInt(text, -1, static_cast<int>(TransferSyntaxItems.size()) - 1, index)) {
        uid = TransferSyntaxUIDFor(index);
        return true;
    }
    bool uidForm = !text.empty() && text.size() <= 64 && text.find('.') != std::string_view::npos &&
                   text.find_first_not_of("0123456789.") == std::string_view::npos;
    if (uidForm)
        uid = text;
    return uidForm;
}

int store(const std::vector<std::string_view>& args) {
    std::string uid = TransferSyntaxUIDFor(0);
    if (args.size() == 3 && args[1] == "--ts") {
        if (!parseTransferSyntax(args[2], uid))
            return usage();
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

// Loads, changes the given fields and saves as the Setup dialog's OK does. Nothing is written
// unless every option is valid.
int setup(const std::vector<std::string_view>& args) {
    std::string fileName = SettingsFileName(StartDirFor(currentDir()));
    SettingsRecord s = LoadSettingsOrDefaults(fileName);
    if (args.empty()) {
        printSettings(s);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }

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
        {"--local-aet", [&](std::string_view v) { return SetSettingsText(s.LocalAET, v), true; }},
        {"--remote-host",
         [&](std::string_view v) { return SetSettingsText(s.RemoteHost, v), true; }},
        {"--remote-port",
         [&](std::string_view v) { return SetSettingsText(s.RemotePort, v), true; }},
        {"--remote-aet", [&](std::string_view v) { return SetSettingsText(s.RemoteAET, v), true; }},
        {"--log-level", [&](std::string_view v) { return parseInt(v, 0, 3, s.LogLevel); }},
        {"--tls", [&](std::string_view v) { return parseOnOff(v, s.UseTls); }},
        {"--film-destination", index(s.FilmDestinationIndex, FilmDestinationItems.size())},
        {"--film-orientation", index(s.FilmOrientationIndex, FilmOrientationItems.size())},
        {"--film-size", index(s.FilmSizeIndex, FilmSizeItems.size())},
        {"--magnification", index(s.MagnificationIndex, MagnificationItems.size())},
        {"--planar", [&](std::string_view v) { return parseOnOff(v, s.PlanarConfiguration); }},
    };
    for (std::size_t i = 0; i < args.size(); i += 2) {
        const Option* option = nullptr;
        for (const Option& candidate : options)
            if (candidate.name == args[i])
                option = &candidate;
        if (!option || i + 1 >= args.size() || !option->apply(args[i + 1]))
            return usage();
    }
    if (!SaveSettings(fileName, s)) {
        std::fprintf(stderr, "veskaro-cli: cannot write %s\n", fileName.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    RegisterServiceJobBodies(DefaultJobBodies());
    if (argc < 2)
        return usage();
    std::string command = argv[1];
    // --json anywhere after a command that reports a result.
    static const char* const reporting[] = {"echo",  "store",    "find", "worklist",
                                            "print", "diagnose", "probe"};
    if (std::find_if(std::begin(reporting), std::end(reporting),
                     [&](const char* c) { return command == c; }) != std::end(reporting)) {
        char** end = std::remove_if(
            argv + 2, argv + argc, [](const char* arg) { return std::strcmp(arg, "--json") == 0; });
        jsonOutput = end != argv + argc;
        argc = static_cast<int>(end - argv);
    }
    if (command == "diagnose" && argc == 2)
        return diagnose();
    if (command == "probe" && argc == 2)
        return probe();
    if (command == "dump" && argc == 3)
        return dumpFile(argv[2]);
    if (command == "echo" && argc == 2)
        return runJob("ECHO");
    if (command == "store")
        return store(std::vector<std::string_view>(argv + 2, argv + argc));
    if (command == "print" && argc == 3) {
        // Waveform pages are drawn with fonts, which need a GUI application; no window is shown.
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        QGuiApplication application(argc, argv);
        // Qt took the locale from the environment; DICOM numbers always use a full stop.
        std::setlocale(LC_NUMERIC, "C");
        return runJob("PRINT", argv[2]);
    }
    if (command == "find" || command == "worklist")
        return queryJob(command == "find" ? "FIND" : "WORKLIST",
                        std::vector<std::string_view>(argv + 2, argv + argc));
    if (command == "setup")
        return setup(std::vector<std::string_view>(argv + 2, argv + argc));
    if (command == "--help" || command == "help") {
        std::fputs(usageText, stdout);
        return 0;
    }
    return usage();
}
