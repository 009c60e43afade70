#pragma once
// Progress and cancellation of the job running on a thread. The job's thread publishes its
// step and byte counts; any thread may read them and may cancel. The transport and the
// association service consult the control of their own thread, so no service signature has
// to carry it: a cancelled job's waits end at once and its association ends with A-ABORT.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

enum class JobStep : int { Starting, Connecting, Negotiating, Sending, Waiting, Receiving };

// A snapshot of a job's progress, for status lines.
struct JobProgress {
    JobStep Step = JobStep::Starting;
    std::uint64_t BytesSent = 0;
    // 0 while unknown; set by the job before it sends a data set.
    std::uint64_t BytesTotal = 0;
    std::uint64_t Records = 0;
    std::chrono::steady_clock::duration Elapsed{};
    bool Cancelled = false;
};

class JobControl {
public:
    JobControl();
    ~JobControl();
    JobControl(const JobControl&) = delete;
    JobControl& operator=(const JobControl&) = delete;

    // Any thread, and async-signal-safe (an atomic store and one write), so a SIGINT handler
    // may call it. Wakes every wait of the job's transport.
    void Cancel();
    bool IsCancelled() const { return cancelled_.load(std::memory_order_acquire); }
    // Readable once the job is cancelled; -1 when it could not be made (then waits are
    // bounded only by their time-outs, and cancellation is noticed between them).
    int WakeHandle() const { return wake_; }

    // The job's thread.
    void SetStep(JobStep step) { step_.store(static_cast<int>(step), std::memory_order_relaxed); }
    void SetBytesTotal(std::uint64_t total) { total_.store(total, std::memory_order_relaxed); }
    void AddBytesSent(std::uint64_t bytes) { sent_.fetch_add(bytes, std::memory_order_relaxed); }
    void AddRecord() { records_.fetch_add(1, std::memory_order_relaxed); }
    // Starts the clock of Elapsed again (the job's start).
    void Restart();

    JobProgress Progress() const;

    // What a STORE sent the data set in; the job's thread only, read after the body.
    std::string TransferSyntaxSent;

private:
    std::atomic<bool> cancelled_{false};
    int wake_ = -1;
    std::atomic<int> step_{0};
    std::atomic<std::uint64_t> sent_{0};
    std::atomic<std::uint64_t> total_{0};
    std::atomic<std::uint64_t> records_{0};
    std::atomic<std::chrono::steady_clock::rep> start_;
};

// The control of the job running on the calling thread, nullptr outside a job.
JobControl* CurrentJobControl();
// True when the calling thread's job was cancelled.
bool CurrentJobCancelled();
// Reports to the calling thread's control, if any.
void ReportJobStep(JobStep step);

// Makes control the calling thread's control for the scope; restores the previous one.
class JobControlScope {
public:
    explicit JobControlScope(JobControl* control);
    ~JobControlScope();
    JobControlScope(const JobControlScope&) = delete;
    JobControlScope& operator=(const JobControlScope&) = delete;

private:
    JobControl* previous_;
};
