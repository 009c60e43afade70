#pragma once
// What every veskaro-cli command shares: the start directory's state and the --json report.

#include "AppState.h"
#include "MainThread.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <string>
#include <vector>

// Set by --json: a command prints one JSON object on stdout instead of the pane's lines.
extern bool JsonOutput;

// The current directory, where the CLI keeps its settings and logs.
std::string CliCurrentDir();
// The current directory as the window's start directory, with its two settings files loaded.
AppState CliStartState();

void PrintJson(const nlohmann::json& object);
// The result records of a query as the pane shows them: blocks of "Key: Value" lines, each
// closed by an empty line.
nlohmann::json PaneRecords(const std::vector<std::string>& lines);
long MillisecondsSince(std::chrono::steady_clock::time_point start);
// With --json, the job's one object: command, verdict (the pane's last line), reason, time, the
// pane's lines, and a query's records. The exit status either way: 0 OK, 1 failed.
int ReportJob(const std::string& kind, const MainThread& job, const std::vector<std::string>& lines,
              long ms);
