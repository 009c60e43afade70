#include "JobControl.h"

#include <sys/eventfd.h>
#include <unistd.h>

namespace {

thread_local JobControl* current = nullptr;

} // namespace

JobControl::JobControl()
    : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      start_(std::chrono::steady_clock::now().time_since_epoch().count()) {}

JobControl::~JobControl() {
    if (wake_ >= 0)
        ::close(wake_);
}

void JobControl::Cancel() {
    if (cancelled_.exchange(true, std::memory_order_acq_rel))
        return;
    if (wake_ >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
    }
}

void JobControl::Restart() {
    start_.store(std::chrono::steady_clock::now().time_since_epoch().count(),
                 std::memory_order_relaxed);
}

JobProgress JobControl::Progress() const {
    JobProgress p;
    p.Step = static_cast<JobStep>(step_.load(std::memory_order_relaxed));
    p.BytesSent = sent_.load(std::memory_order_relaxed);
    p.BytesTotal = total_.load(std::memory_order_relaxed);
    p.Records = records_.load(std::memory_order_relaxed);
    auto start = std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(start_.load(std::memory_order_relaxed)));
    p.Elapsed = std::chrono::steady_clock::now() - start;
    p.Cancelled = IsCancelled();
    return p;
}

JobControl* CurrentJobControl() {
    return current;
}

bool CurrentJobCancelled() {
    return current && current->IsCancelled();
}

void ReportJobStep(JobStep step) {
    if (current)
        current->SetStep(step);
}

JobControlScope::JobControlScope(JobControl* control) : previous_(current) {
    current = control;
}

JobControlScope::~JobControlScope() {
    current = previous_;
}
