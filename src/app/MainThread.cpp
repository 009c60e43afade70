#include "MainThread.h"

#include "Log.h"

#include <cstdio>
#include <ctime>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace {

// Qt hands an ended job to its creator's thread under its own futex-based locks, which
// ThreadSanitizer cannot see; these mark that hand-off so deleting the job is not taken for a
// race with the job's last writes.
void handOver([[maybe_unused]] MainThread* job) {
#if defined(__SANITIZE_THREAD__)
    __tsan_release(job);
#endif
}

void takeOver([[maybe_unused]] MainThread* job) {
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(job);
#endif
}

class NoPane : public OutputPane {
public:
    void Clear() override {}
    void AppendLine(const std::string&) override {}
};

std::string todayYYYYMMDD() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%Y%m%d", &local);
    return text;
}

std::string timeOfDay() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

std::string secondsText(std::chrono::steady_clock::duration elapsed) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", std::chrono::duration<double>(elapsed).count());
    return text;
}

} // namespace

MainThread::MainThread(QObject* parent) : QThread(parent) {}

void MainThread::run() {
    Execute();
    handOver(this);
}

void MainThread::Execute() {
    NoPane noPane;
    OutputPane& pane = Pane ? *Pane : noPane;
    JobControlScope controlScope(&Control);
    Control.Restart();
    try {
        std::string logFileName = Inputs.LogDir + todayYYYYMMDD() + "_" + JobKind + ".log";
        CurrentLogLevel = Inputs.Settings.LogLevel;
        SetLogTargets(logFileName);
        pane.Clear();
        LogMessage("Starting " + JobKind + " Service");

        Outcome = JobOutcome::Failed;
        std::string detail;
        if (const JobBody* body = Bodies ? Bodies->Find(JobKind) : nullptr) {
            JobContext context{JobKind, TransferSyntaxUID, Inputs, JobReadTimeoutSeconds(JobKind),
                               pane};
            Outcome = (*body)(context);
            detail = context.ResultDetail;
            Reason = Outcome == JobOutcome::Succeeded ? std::string() : context.Reason;
        }
        // A body that noticed the cancellation too late to fail still did not finish its work.
        if (Control.IsCancelled() && Outcome == JobOutcome::Succeeded)
            Outcome = JobOutcome::Failed;
        Succeeded = Outcome == JobOutcome::Succeeded;
        if (Outcome == JobOutcome::EndedWithoutVerdict)
            return;
        // The reason belongs to the verdict: a job that ends without one says nothing more. A
        // cancelled job's reason is the cancellation, whatever the body saw after it.
        if (!Succeeded && Control.IsCancelled()) {
            LogMessage(CancelledReason);
            pane.AppendLine(CancelledReason);
        } else if (!Succeeded && !Reason.empty()) {
            LogMessage("Reason: " + Reason);
            pane.AppendLine("Reason: " + Reason);
        }

        const SettingsRecord& s = Inputs.Settings;
        const std::string peer = SettingsText(s.RemoteAET) + " (" + SettingsText(s.RemoteHost) +
                                 ":" + SettingsText(s.RemotePort) + ")";
        std::string verdict;
        if (Succeeded) {
            std::string done = JobKind + " to " + peer + " at " + timeOfDay() + " in " +
                               secondsText(Control.Progress().Elapsed) + detail;
            LogMessage(done);
            pane.AppendLine(done);
            verdict = JobKind + " OK";
        } else {
            verdict = JobKind + " failed to connect to: " + peer;
        }
        LogMessage(verdict);
        pane.AppendLine(verdict);
    } catch (...) {
        // A failing job must not take the program down; the body's own log lines are the trace.
        Succeeded = false;
        Outcome = JobOutcome::EndedWithoutVerdict;
    }
}

void StartJob(MainThread* job, JobInputs inputs) {
    job->Inputs = std::move(inputs);
    // Queued: runs on the creator's thread.
    QObject::connect(job, &QThread::finished, job, [job] {
        takeOver(job);
        job->deleteLater();
    });
    job->start();
}
