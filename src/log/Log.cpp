#include "Log.h"

#include <cstdio>
#include <ctime>
#include <mutex>
#include <unistd.h>

std::atomic<int> CurrentLogLevel{0};

namespace {

// One line at a time across all threads; a waiting caller blocks instead of spinning.
std::mutex logBusy;
// The name is read by the traffic dump without taking logBusy, so it has its own lock.
std::mutex nameLock;
std::string logFileName;
// The file chosen on this thread: a job's lines stay in its own file even when a later job
// has chosen another one for the process. SetLogTargets sets both names; LogFileName gives
// the thread's own when it has one, so the traffic dump follows the same rule.
thread_local std::string threadLogFileName;

std::string timeOfDay() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

} // namespace

void SetLogTargets(const std::string& fileName) {
    if (fileName.empty())
        return;
    threadLogFileName = fileName;
    std::lock_guard<std::mutex> lock(nameLock);
    logFileName = fileName;
}

std::string LogFileName() {
    if (!threadLogFileName.empty())
        return threadLogFileName;
    std::lock_guard<std::mutex> lock(nameLock);
    return logFileName;
}

void LogMessage(const std::string& message) {
    std::lock_guard<std::mutex> busy(logBusy);
    std::string name = LogFileName();
    if (name.empty())
        return;
    std::string line = timeOfDay();
    line += ", ";
    line += message;
    line += "\r\n";
    if (std::FILE* f = std::fopen(name.c_str(), "ab")) {
        std::fwrite(line.data(), 1, line.size(), f);
        std::fclose(f);
    }
}

long ProcessMemoryMB() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f)
        return 0;
    long size = 0, resident = 0;
    int n = std::fscanf(f, "%ld %ld", &size, &resident);
    std::fclose(f);
    if (n != 2)
        return 0;
    return static_cast<long>(resident * sysconf(_SC_PAGESIZE) / 1000000);
}
