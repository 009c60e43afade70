#pragma once
// An output pane that keeps what a job writes to it, like the window's: a clear empties it.
// Safe from several job threads. Header-only, since the support library links no app layer.

#include "Job.h"

#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class RecordingPane : public OutputPane {
public:
    void Clear() override {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
        ++clears_;
    }
    void AppendLine(const std::string& line) override {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    int clears() {
        std::lock_guard<std::mutex> lock(mutex_);
        return clears_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
    int clears_ = 0;
};

} // namespace testsupport
