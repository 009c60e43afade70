#pragma once
// The process-wide log: one text file chosen by the job started last, one line per call.

#include <atomic>
#include <string>

// 0 not chosen, 1 "No Log", 2 "PDU Level", 3 "Socket Level". Written by each job at its start;
// the level tests stand at the call sites, LogMessage itself writes every line it is given.
extern std::atomic<int> CurrentLogLevel;

// Replaces the current log file name; an empty name keeps the previous one.
void SetLogTargets(const std::string& fileName);

// The current log file name (empty before the first job), for writers that append on their own.
std::string LogFileName();

// Appends "HH:MM:SS, " + message + CR LF to the current file, opening and closing it for the
// line so the log can be read while a job runs. Never fails towards the caller.
void LogMessage(const std::string& message);

// Resident set size of the process divided by 1,000,000; 0 when it cannot be read.
long ProcessMemoryMB();
