// Peers that misbehave on purpose, and the resources a job may use: every job must end in its
// failure verdict within its time-out, leave no thread or descriptor behind, say in the log
// what happened, and never allocate what a declared length promises but the input lacks.

#include "DimseScript.h"
#include "Echo.h"
#include "Find.h"
#include "JobBodies.h"
#include "MainThread.h"
#include "RecordingPane.h"
#include "ScriptedPeer.h"
#include "Setup.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace dimsescript;
using Peer = ScriptedPeer;
using testsupport::TempDir;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int ShortTimeout = 2; // seconds
constexpr std::chrono::milliseconds Margin{2500};
constexpr const char* CtImage = "1.2.840.10008.5.1.4.1.1.2";
// The C-ECHO-RQ as one P-DATA-TF: PDU and PDV headers and 68 bytes of command set.
constexpr std::size_t EchoCommandPduSize = 80;
const std::vector<uint8_t> abortPdu = hexBytes("07 00 00 00 00 04 00 00 00 00");
const std::vector<uint8_t> releaseRequest = hexBytes("05 00 00 00 00 04 00 00 00 00");

std::size_t countEntries(const char* directory) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory))
        ++n;
    return n;
}
std::size_t openDescriptors() {
    return countEntries("/proc/self/fd");
}
std::size_t threads() {
    return countEntries("/proc/self/task");
}
// A finished job's thread may still be on its way out when wait() returns.
std::size_t threadsSettledAt(std::size_t expected) {
    auto end = Clock::now() + std::chrono::seconds(2);
    while (threads() != expected && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return threads();
}

// Peak resident set in kB since the last reset; the reset needs Linux 4.0 and is skipped
// quietly when refused, which only makes the growth checks more lenient.
long peakResidentKB() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}
void resetPeakResident() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

using testsupport::closedPort;
using testsupport::RecordingPane;

// A peer whose close resets the connection instead of ending it.
std::unique_ptr<PeerStream> resettingStream(int fd) {
    linger abortive{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    return PlainPeerStream(fd);
}

// The services' own bodies, handed a short time-out instead of the kind's.
JobBodyTable bodiesWithTimeout(int seconds) {
    static JobBodyTable real = [] {
        JobBodyTable table;
        RegisterServiceJobBodies(table);
        return table;
    }();
    JobBodyTable table;
    for (std::string_view kind : JobKinds) {
        JobBody body = *real.Find(kind);
        table.Register(kind, [body, seconds](JobContext& job) {
            JobContext shortened{job.JobKind, job.TransferSyntaxUID, job.Inputs, seconds, job.Pane};
            JobOutcome outcome = body(shortened);
            job.Reason = shortened.Reason;
            return outcome;
        });
    }
    return table;
}

// The A-ASSOCIATE-RQ of a STORE of the raw CT files below: their own syntax (implicit VR) in
// one context, the explicit VR fallback in another.
const std::size_t StoreRequestSize =
    requestSizeOf(CtImage, {{"1.2.840.10008.1.2"}, {"1.2.840.10008.1.2.1"}});

std::vector<uint8_t> echoResponse() {
    std::unique_ptr<DcmObj> rsp = CommandSet()
                                      .Uid(0x0002, VerificationSopClass)
                                      .UShort(0x0100, 0x8030)
                                      .UShort(0x0120, 3)
                                      .UShort(0x0800, 0x0101)
                                      .UShort(0x0900, 0)
                                      .Build();
    return pdata(3, encode(*rsp));
}

std::vector<uint8_t> storeResponse(uint16_t status) {
    std::unique_ptr<DcmObj> rsp = CommandSet()
                                      .Uid(0x0002, CtImage)
                                      .UShort(0x0100, 0x8001)
                                      .UShort(0x0120, 3)
                                      .UShort(0x0800, 0x0101)
                                      .UShort(0x0900, status)
                                      .Build();
    return pdata(3, encode(*rsp));
}

// A data set of a CT image whose pixel data takes many PDUs, written as a raw data set file.
void writeLargeImage(const std::filesystem::path& file, std::size_t pixelBytes) {
    DcmObj dataSet;
    dataSet.Append(std::make_unique<DcmTag>(0x0008, 0x0016, std::string(CtImage), "UI"));
    dataSet.Append(std::make_unique<DcmTag>(0x0008, 0x0018, std::string("1.2.826.0.1.99.7"), "UI"));
    std::vector<uint8_t> pixels(pixelBytes, 0x5A);
    dataSet.Append(std::make_unique<DcmTag>(0x7FE0, 0x0010, static_cast<uint32_t>(pixels.size()),
                                            pixels.data(), "OW"));
    testsupport::writeFileBytes(file, encode(dataSet));
}

class HostilePeerTest : public ::testing::Test {
protected:
    // The first job thread leaves Qt's wake-up descriptor for good; it is not the job's.
    static void SetUpTestSuite() {
        std::size_t before = threads();
        TempDir logs;
        MainThread job;
        job.JobKind = "NONE";
        job.Inputs.LogDir = logs.path().string() + "/";
        job.start();
        job.wait();
        threadsSettledAt(before);
    }

    struct Result {
        bool endedInTime = false;
        std::chrono::milliseconds took{0};
        JobOutcome outcome = JobOutcome::Succeeded;
        std::vector<std::string> pane;
        std::string log;
    };

    void SetUp() override {
        std::filesystem::create_directories(dir.file("logs"));
        fdsBefore = openDescriptors();
        threadsBefore = threads();
    }

    // Runs the job on its own thread against the peer's port. A job that overruns is given
    // back its connection by stopping the peer, so the test fails instead of hanging.
    Result run(const std::string& kind, std::unique_ptr<Peer>& peer, const std::string& file = {},
               int timeout = ShortTimeout) {
        return runAt(kind, peer->PortText(), file, timeout, [&] { peer.reset(); });
    }

    Result runAt(
        const std::string& kind, const std::string& port, const std::string& file, int timeout,
        const std::function<void()>& overrun = [] {}) {
        JobBodyTable table = bodiesWithTimeout(timeout);
        RecordingPane pane;
        JobInputs inputs;
        inputs.Settings = DefaultSettings();
        SetSettingsText(inputs.Settings.RemotePort, port);
        inputs.Settings.LogLevel = 2;
        inputs.FileName = file;
        inputs.LogDir = dir.file("logs").string() + "/";
        Result result;
        {
            MainThread job;
            job.JobKind = kind;
            job.Pane = &pane;
            job.Inputs = inputs;
            job.Bodies = &table;
            auto start = Clock::now();
            job.start();
            auto limit = std::chrono::seconds(timeout) + Margin;
            result.endedInTime = job.wait(QDeadlineTimer(limit.count()));
            result.took =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            if (!result.endedInTime) {
                overrun();
                job.wait();
            }
            result.outcome = job.Outcome;
        }
        result.pane = pane.lines();
        result.log = logText(kind);
        return result;
    }

    std::string logText(const std::string& kind) const {
        char day[16];
        std::time_t now = std::time(nullptr);
        std::strftime(day, sizeof day, "%Y%m%d", std::localtime(&now));
        std::ifstream in(dir.file("logs") / (std::string(day) + "_" + kind + ".log"),
                         std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // The failure verdict, in time, in the pane and the log, with the line naming the cause
    // and, just before the verdict, the reason line.
    void expectFailure(const Result& r, const std::string& kind, const std::string& port,
                       const std::string& cause, const std::string& reason) {
        EXPECT_TRUE(r.endedInTime) << "took " << r.took.count() << " ms";
        EXPECT_EQ(r.outcome, JobOutcome::Failed);
        std::string verdict = kind + " failed to connect to: remote (127.0.0.1:" + port + ")";
        ASSERT_GE(r.pane.size(), 2u);
        EXPECT_EQ(r.pane.back(), verdict);
        EXPECT_EQ(r.pane[r.pane.size() - 2], "Reason: " + reason);
        EXPECT_NE(r.log.find(verdict + "\r\n"), std::string::npos);
        std::size_t reasonAt = r.log.find("Reason: " + reason + "\r\n");
        EXPECT_NE(reasonAt, std::string::npos) << r.log;
        EXPECT_LT(reasonAt, r.log.find(verdict));
        EXPECT_NE(r.log.find(cause), std::string::npos) << "no \"" << cause << "\" in\n" << r.log;
    }

    // Nothing of the job outlives it: the peer's thread is joined first.
    void expectNothingLeft(std::unique_ptr<Peer>& peer) {
        peer.reset();
        EXPECT_EQ(threadsSettledAt(threadsBefore), threadsBefore);
        EXPECT_EQ(openDescriptors(), fdsBefore);
    }

    TempDir dir;
    std::size_t fdsBefore = 0;
    std::size_t threadsBefore = 0;
};

} // namespace

TEST_F(HostilePeerTest, PeerThatAcceptsAndNeverAnswersTimesOut) {
    auto peer =
        std::make_unique<Peer>(std::vector<Peer::Step>{Peer::Silent(std::chrono::seconds(20))});
    std::string port = peer->PortText();
    Result r = run("ECHO", peer);
    expectFailure(r, "ECHO", port, "ERROR, Socket::ReadBinary, Timed out",
                  "awaiting the A-ASSOCIATE-AC: no answer within 2 s");
    EXPECT_GE(r.took, std::chrono::seconds(ShortTimeout) - std::chrono::milliseconds(100));
    expectNothingLeft(peer);
}

TEST_F(HostilePeerTest, PeerThatStopsReadingADataSetTimesOutTheSend) {
    TempDir files;
    writeLargeImage(files.file("large.dcm"), 24 << 20);
    // Accepts, then neither reads nor answers: the client's send queue fills up.
    auto peer = std::make_unique<Peer>(
        std::vector<Peer::Step>{Peer::Expect(StoreRequestSize), Peer::Send(acceptPdu()),
                                Peer::SendAfter(std::chrono::seconds(5), {})});
    std::string port = peer->PortText();
    Result r = run("STORE", peer, files.file("large.dcm").string());
    expectFailure(r, "STORE", port, "ERROR, Socket::SendBinary, Timed out",
                  "sending the C-STORE-RQ: the peer took nothing for 2 s");
    expectNothingLeft(peer);
}

TEST_F(HostilePeerTest, PeerThatDripsItsAnswerIsCutOffAtTheTimeOut) {
    // One byte a second: every wait for a byte is short, the answer as a whole is not.
    std::vector<Peer::Step> steps = {Peer::Expect(associateRequestSize(VerificationSopClass))};
    for (uint8_t byte : acceptPdu()) {
        steps.push_back(Peer::Send({byte}));
        steps.push_back(Peer::Silent(std::chrono::seconds(1)));
    }
    auto peer = std::make_unique<Peer>(std::move(steps));
    std::string port = peer->PortText();
    Result r = run("ECHO", peer);
    expectFailure(r, "ECHO", port, "ERROR, Socket::ReadBinary, Timed out",
                  "awaiting the A-ASSOCIATE-AC: no answer within 2 s");
    expectNothingLeft(peer);
}

// A PDU longer than the maximum length announced (16384) is refused at its header: the peer
// is aborted before a byte of its body is taken.
TEST_F(HostilePeerTest, PduLongerThanTheAnnouncedMaximumIsAbortedAtOnce) {
    for (const char* length : {"FF FF FF FF", "00 00 40 01"}) {
        SCOPED_TRACE(length);
        std::filesystem::remove_all(dir.file("logs"));
        std::filesystem::create_directories(dir.file("logs"));
        std::vector<uint8_t> huge = hexBytes(std::string("04 00 ") + length + " 00 00 3F F0 01 03");
        huge.resize(huge.size() + 4096, 0x20);
        auto peer = std::make_unique<Peer>(std::vector<Peer::Step>{
            Peer::Expect(associateRequestSize(VerificationSopClass)), Peer::Send(acceptPdu()),
            Peer::Expect(EchoCommandPduSize), Peer::Send(huge), Peer::Expect(abortPdu.size()),
            Peer::Silent(std::chrono::seconds(20))});
        std::string port = peer->PortText();
        resetPeakResident();
        long peakBefore = peakResidentKB();
        Result r = run("ECHO", peer);
        expectFailure(r, "ECHO", port, "above the maximum 16384",
                      "awaiting the C-ECHO-RSP: the peer sent a P-DATA-TF PDU that breaks the "
                      "protocol; the association was aborted");
        EXPECT_LT(r.took, std::chrono::seconds(ShortTimeout));
        EXPECT_LT(peakResidentKB() - peakBefore, 16 * 1024);
        ASSERT_TRUE(peer->Finish()) << peer->Failure();
        std::vector<uint8_t> tail(peer->Received().end() - 10, peer->Received().end());
        EXPECT_EQ(tail, abortPdu);
        expectNothingLeft(peer);
    }
}

TEST_F(HostilePeerTest, PdvLongerThanItsPduIsAbortedAtOnce) {
    // A PDU of 20 bytes whose PDV claims 1000.
    std::vector<uint8_t> bad = hexBytes("04 00 00 00 00 14  00 00 03 E8 01 03");
    bad.resize(bad.size() + 14, 0x20);
    auto peer = std::make_unique<Peer>(std::vector<Peer::Step>{
        Peer::Expect(associateRequestSize(VerificationSopClass)), Peer::Send(acceptPdu()),
        Peer::Expect(EchoCommandPduSize), Peer::Send(bad), Peer::Expect(abortPdu.size()),
        Peer::Silent(std::chrono::seconds(20))});
    std::string port = peer->PortText();
    Result r = run("ECHO", peer);
    expectFailure(r, "ECHO", port, "PDV item length 1000 does not fit the PDU",
                  "awaiting the C-ECHO-RSP: the peer sent a P-DATA-TF PDU that breaks the "
                  "protocol; the association was aborted");
    // A peer out of step is aborted, not asked for a release it cannot answer.
    EXPECT_LT(r.took, std::chrono::seconds(ShortTimeout));
    ASSERT_TRUE(peer->Finish()) << peer->Failure();
    std::vector<uint8_t> tail(peer->Received().end() - 10, peer->Received().end());
    EXPECT_EQ(tail, abortPdu);
    expectNothingLeft(peer);
}

TEST_F(HostilePeerTest, AbortInTheMiddleOfAStoreDataSetStopsTheSend) {
    TempDir files;
    writeLargeImage(files.file("large.dcm"), 24 << 20);
    // The peer takes the command and the start of the data set and aborts; then it goes on
    // reading, closes at once, or stops reading (noticed only when the send times out).
    struct Case {
        const char* after;
        Peer::Step step;
        std::chrono::milliseconds within;
    };
    const Case cases[] = {
        {"reading", Peer::Silent(std::chrono::seconds(20)), std::chrono::seconds(ShortTimeout)},
        {"closing", Peer::Close(), std::chrono::seconds(ShortTimeout)},
        {"stalling", Peer::SendAfter(std::chrono::seconds(5), {}),
         std::chrono::seconds(ShortTimeout) + Margin},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.after);
        std::filesystem::remove_all(dir.file("logs"));
        std::filesystem::create_directories(dir.file("logs"));
        auto peer = std::make_unique<Peer>(
            std::vector<Peer::Step>{Peer::Expect(StoreRequestSize), Peer::Send(acceptPdu()),
                                    Peer::Expect(200000), Peer::Send(abortPdu), c.step});
        std::string port = peer->PortText();
        Result r = run("STORE", peer, files.file("large.dcm").string());
        expectFailure(r, "STORE", port, "WARNING, PDU_Service::Write, Abort-RQ",
                      "sending the C-STORE-RQ: association aborted by the service user: the "
                      "peer gave up (source 0, reason 0)");
        EXPECT_LT(r.took, c.within);
        expectNothingLeft(peer);
    }
}

TEST_F(HostilePeerTest, ReleaseRequestInTheMiddleOfAFindIsAnswered) {
    std::vector<uint8_t> study = identifierOf({{0x0010, 0x0010, "HOSTILE^PEER"}});
    auto peer = std::make_unique<Peer>(
        concat(std::vector<Peer::Step>{Peer::Expect(associateRequestSize(StudyRootFindSopClass)),
                                       Peer::Send(acceptPdu()),
                                       Peer::Silent(std::chrono::milliseconds(300))},
               findResponse(StudyRootFindSopClass, 0xFF00, &study),
               std::vector<Peer::Step>{Peer::Send(releaseRequest), Peer::Expect(ReleaseSize),
                                       Peer::ExpectEnd()}));
    std::string port = peer->PortText();
    Result r = run("FIND", peer);
    expectFailure(r, "FIND", port, "INFO, PDU_Service::Read Release-RQ",
                  "awaiting the C-FIND-RSP: the peer released the association instead of "
                  "answering");
    EXPECT_LT(r.took, std::chrono::seconds(ShortTimeout));
    ASSERT_TRUE(peer->Finish()) << peer->Failure();
    // The reply is the last thing sent: no release request of our own follows it.
    std::vector<uint8_t> tail(peer->Received().end() - 10, peer->Received().end());
    EXPECT_EQ(tail, releaseReply);
    // The pending result read before the release is still shown.
    EXPECT_NE(std::find(r.pane.begin(), r.pane.end(), "PatientName: HOSTILE^PEER"), r.pane.end());
    EXPECT_NE(std::find(r.pane.begin(), r.pane.end(), "No studies: 1"), r.pane.end());
    expectNothingLeft(peer);
}

TEST_F(HostilePeerTest, ConnectionResetDuringTheAssociationFails) {
    std::vector<uint8_t> half = acceptPdu();
    half.resize(30);
    auto peer = std::make_unique<Peer>(
        std::vector<Peer::Step>{Peer::Expect(associateRequestSize(VerificationSopClass)),
                                Peer::Send(half), Peer::Close()},
        resettingStream);
    std::string port = peer->PortText();
    Result r = run("ECHO", peer);
    expectFailure(r, "ECHO", port, "ERROR, Socket::ReadBinary, couldn't receive: 104",
                  "awaiting the A-ASSOCIATE-AC: connection reset by the peer (errno 104, "
                  "Connection reset by peer)");
    EXPECT_LT(r.took, std::chrono::seconds(ShortTimeout));
    expectNothingLeft(peer);
}

TEST_F(HostilePeerTest, GarbageInsteadOfTheAcceptFails) {
    std::string http = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
    // The accept's type byte, then bytes that make no items.
    std::vector<uint8_t> junk = hexBytes("02 00 00 00 00 60");
    junk.resize(junk.size() + 0x60, 0xA5);
    struct Case {
        std::vector<uint8_t> answer;
        const char* cause;
        const char* reason;
    };
    for (const Case& c :
         {Case{{http.begin(), http.end()},
               "ERROR, Corrupt Transmission...",
               "the peer answered with bytes that are not a DICOM PDU (first byte 0x48): it "
               "looks like HTTP"},
          Case{junk, "ERROR, Transfer Syntax is Empty",
               "presentation context: the peer's A-ASSOCIATE-AC holds no presentation context"}}) {
        SCOPED_TRACE(c.cause);
        std::filesystem::remove_all(dir.file("logs"));
        std::filesystem::create_directories(dir.file("logs"));
        auto peer = std::make_unique<Peer>(
            std::vector<Peer::Step>{Peer::Expect(associateRequestSize(VerificationSopClass)),
                                    Peer::Send(c.answer), Peer::Silent(std::chrono::seconds(20))});
        std::string port = peer->PortText();
        Result r = run("ECHO", peer);
        expectFailure(r, "ECHO", port, c.cause, c.reason);
        EXPECT_LT(r.took, std::chrono::seconds(ShortTimeout));
        expectNothingLeft(peer);
    }
}

// Declared lengths of 2 GB over a few bytes: what is allocated follows the bytes there.
TEST_F(HostilePeerTest, TwoGigabyteLengthsAllocateOnlyWhatArrives) {
    TempDir files;
    std::vector<uint8_t> file;
    {
        DcmObj head;
        head.Append(std::make_unique<DcmTag>(0x0008, 0x0016, std::string(CtImage), "UI"));
        head.Append(
            std::make_unique<DcmTag>(0x0008, 0x0018, std::string("1.2.826.0.1.99.8"), "UI"));
        file = encode(head);
    }
    std::vector<uint8_t> pixels = hexBytes("E0 7F 10 00  00 00 00 80"); // (7FE0,0010), 2 GB
    file.insert(file.end(), pixels.begin(), pixels.end());
    file.resize(file.size() + 64, 0x11);
    testsupport::writeFileBytes(files.file("declared.dcm"), file);

    // The accept and a P-DATA-TF each declare 2 GB, then 1 MB arrives and the peer closes.
    std::vector<uint8_t> accept = acceptPdu();
    accept[2] = 0x80;
    accept[3] = accept[4] = accept[5] = 0;
    std::vector<uint8_t> data = hexBytes("04 00 80 00 00 00  7F FF FF FA 01 03");
    data.resize(data.size() + (1 << 20), 0x20);

    resetPeakResident();
    long peakBefore = peakResidentKB();

    Result stored = runAt("STORE", closedPort(), files.file("declared.dcm").string(), ShortTimeout);
    EXPECT_TRUE(stored.endedInTime);
    EXPECT_EQ(stored.outcome, JobOutcome::Failed);
    {
        DcmObj dataSet;
        EXPECT_FALSE(DcmObj::Read(dataSet, files.file("declared.dcm").string()) &&
                     dataSet.GetTag(0x7FE0, 0x0010) && dataSet.GetTag(0x7FE0, 0x0010)->HasValue());
    }

    for (const auto& answer : {accept, data}) {
        std::vector<Peer::Step> steps = {Peer::Expect(associateRequestSize(VerificationSopClass))};
        if (answer == data) {
            steps.push_back(Peer::Send(acceptPdu()));
            steps.push_back(Peer::Expect(EchoCommandPduSize));
        }
        steps.push_back(Peer::Send(answer));
        steps.push_back(Peer::Close());
        auto peer = std::make_unique<Peer>(std::move(steps));
        std::string port = peer->PortText();
        Result r = run("ECHO", peer);
        EXPECT_TRUE(r.endedInTime);
        EXPECT_EQ(r.outcome, JobOutcome::Failed);
        peer.reset();
    }
    // ASan's shadow alone of a 2 GB block would be 256 MB.
    EXPECT_LT(peakResidentKB() - peakBefore, 96 * 1024);
    EXPECT_EQ(threadsSettledAt(threadsBefore), threadsBefore);
    EXPECT_EQ(openDescriptors(), fdsBefore);
}

// Failing jobs of every early exit, on the calling thread as the CLI runs them: no file or
// socket may stay open on any of their paths.
TEST_F(HostilePeerTest, ThousandFailingJobsLeaveTheDescriptorsFlat) {
    TempDir files;
    testsupport::writeFileBytes(files.file("bad.dcm"), hexBytes("DE AD BE EF 00 01 02 03 04 05"));
    std::string missing = files.file("missing.dcm").string();
    std::string port = closedPort();
    JobBodyTable table = bodiesWithTimeout(ShortTimeout);
    struct Kind {
        const char* kind;
        std::string file;
    };
    const Kind kinds[] = {
        {"ECHO", ""}, {"STORE", missing}, {"STORE", files.file("bad.dcm").string()}, {"FIND", ""}};
    // The first round opens what stays open by design (the log's file name, lazily made
    // tables); only growth after it counts.
    auto runOnce = [&](const Kind& k) {
        MainThread job;
        job.JobKind = k.kind;
        job.Inputs.Settings = DefaultSettings();
        SetSettingsText(job.Inputs.Settings.RemotePort, port);
        job.Inputs.Settings.LogLevel = 1;
        job.Inputs.FileName = k.file;
        job.Inputs.LogDir = dir.file("logs").string() + "/";
        job.Bodies = &table;
        job.Execute();
        return job.Outcome;
    };
    for (const Kind& k : kinds)
        runOnce(k);
    std::size_t before = openDescriptors();
    int failed = 0;
    for (int i = 0; i < 1000; ++i)
        failed += runOnce(kinds[i % 4]) == JobOutcome::Failed;
    EXPECT_EQ(failed, 1000);
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(threadsSettledAt(threadsBefore), threadsBefore);
    // Every job really ran to its verdict: the first round's and the thousand's.
    auto count = [](const std::string& text, const std::string& line) {
        std::size_t n = 0;
        for (std::size_t at = text.find(line); at != std::string::npos;
             at = text.find(line, at + 1))
            ++n;
        return n;
    };
    std::string refused = "ERROR, Connecting to Socket: 127.0.0.1:" + port + ", 111";
    EXPECT_EQ(count(logText("ECHO"), refused), 251u);
    EXPECT_EQ(count(logText("FIND"), refused), 251u);
    EXPECT_EQ(count(logText("STORE"), "STORE failed to connect to: "), 502u);
}

// After the last response, a PDV left in its PDU is drained, the release is answered, and the
// socket is closed in order, not reset.
TEST_F(HostilePeerTest, TrailingPdvIsDrainedAndTheReleaseEndsInAnOrderlyClose) {
    std::vector<uint8_t> response = echoResponse();
    // A second PDV in the same PDU: 4 + 2 + 8 bytes after the first.
    std::vector<uint8_t> trailing = hexBytes("00 00 00 0A 01 02 11 22 33 44 55 66 77 88");
    response.insert(response.end(), trailing.begin(), trailing.end());
    uint32_t length = static_cast<uint32_t>(response.size() - 6);
    response[2] = static_cast<uint8_t>(length >> 24);
    response[3] = static_cast<uint8_t>(length >> 16);
    response[4] = static_cast<uint8_t>(length >> 8);
    response[5] = static_cast<uint8_t>(length);
    auto peer = std::make_unique<Peer>(std::vector<Peer::Step>{
        Peer::Expect(associateRequestSize(VerificationSopClass)), Peer::Send(acceptPdu()),
        Peer::Expect(EchoCommandPduSize), Peer::Send(response), Peer::Expect(ReleaseSize),
        Peer::Send(releaseReply), Peer::ExpectEnd()});
    Result r = run("ECHO", peer);
    EXPECT_EQ(r.outcome, JobOutcome::Succeeded) << r.log;
    EXPECT_LT(r.took, std::chrono::seconds(ShortTimeout));
    ASSERT_TRUE(peer->Finish()) << peer->Failure();
    std::vector<uint8_t> tail(peer->Received().end() - 10, peer->Received().end());
    EXPECT_EQ(tail, releaseRequest);
    expectNothingLeft(peer);
}

// The release waits its own short time-out, not the job's; the job keeps its verdict.
TEST_F(HostilePeerTest, UnansweredReleaseIsAbortedAfterTheReleaseTimeOut) {
    auto peer = std::make_unique<Peer>(std::vector<Peer::Step>{
        Peer::Expect(associateRequestSize(VerificationSopClass)), Peer::Send(acceptPdu()),
        Peer::Expect(EchoCommandPduSize), Peer::Send(echoResponse()), Peer::Expect(ReleaseSize),
        Peer::Silent(std::chrono::seconds(30))});
    Result r = run("ECHO", peer, {}, 60);
    EXPECT_EQ(r.outcome, JobOutcome::Succeeded) << r.log;
    EXPECT_GE(r.took, std::chrono::seconds(PDU_Service::ReleaseTimeoutSeconds) -
                          std::chrono::milliseconds(100));
    EXPECT_LT(r.took, std::chrono::seconds(PDU_Service::ReleaseTimeoutSeconds) + Margin);
    EXPECT_NE(r.log.find("WARNING, PDU_Service::Close, no A-RELEASE-RP within 10 s"),
              std::string::npos);
    ASSERT_TRUE(peer->Finish()) << peer->Failure();
    expectNothingLeft(peer);
}

// A C-STORE-RSP before the end of the data set is the answer: its status is reported and the
// rest of the data set is not sent.
TEST_F(HostilePeerTest, EarlyStoreResponseIsReadAsTheAnswer) {
    TempDir files;
    writeLargeImage(files.file("large.dcm"), 24 << 20);
    auto peer = std::make_unique<Peer>(std::vector<Peer::Step>{
        Peer::Expect(StoreRequestSize), Peer::Send(acceptPdu()), Peer::Expect(200000),
        Peer::Send(storeResponse(0xA700)), Peer::ExpectEnd()});
    std::string port = peer->PortText();
    Result r = run("STORE", peer, files.file("large.dcm").string());
    EXPECT_EQ(r.outcome, JobOutcome::Failed);
    EXPECT_NE(r.log.find("ERROR, CStore::ReadRSP, status == 42752"), std::string::npos) << r.log;
    EXPECT_EQ(r.log.find("unexpected PDU type"), std::string::npos);
    EXPECT_LT(r.took, std::chrono::seconds(ShortTimeout));
    ASSERT_TRUE(peer->Finish()) << peer->Failure();
    EXPECT_LT(peer->Received().size(), std::size_t{8} << 20);
    std::vector<uint8_t> tail(peer->Received().end() - 10, peer->Received().end());
    EXPECT_EQ(tail, abortPdu);
    expectNothingLeft(peer);
}

// Accepted contexts are taken only for what was proposed; a negotiation that leaves none is
// ended with an A-ABORT.
TEST_F(HostilePeerTest, ContextsNeverProposedAreIgnored) {
    auto peer = std::make_unique<Peer>(std::vector<Peer::Step>{
        Peer::Expect(associateRequestSize(VerificationSopClass)),
        Peer::Send(acceptPduOf({{3, 0, "1.2.840.10008.1.2"}, {1, 0, "1.2.840.10008.1.2"}})),
        Peer::Expect(EchoCommandPduSize), Peer::Send(echoResponse()), Peer::Expect(ReleaseSize),
        Peer::Send(releaseReply), Peer::ExpectEnd()});
    Result r = run("ECHO", peer);
    EXPECT_EQ(r.outcome, JobOutcome::Succeeded) << r.log;
    EXPECT_NE(r.log.find("WARNING, PDU_Service::InterogateAAssociateAC, accepted context ID 3 "
                         "was never proposed"),
              std::string::npos);
    ASSERT_TRUE(peer->Finish()) << peer->Failure();
    // The command's PDV went on context 1.
    EXPECT_EQ(peer->Received()[associateRequestSize(VerificationSopClass) + 10], 1);
    expectNothingLeft(peer);

    struct Case {
        std::vector<uint8_t> accept;
        const char* cause;
        const char* reason;
    };
    const Case cases[] = {
        {acceptPduOf({{3, 0, "1.2.840.10008.1.2"}}), "was never proposed",
         "presentation context: the peer answered for context ID 3, which was never proposed"},
        {acceptPdu("1.2.840.10008.1.2", 3), "Transfer Syntax is Empty",
         "presentation context: the peer accepted none of the proposed: Verification "
         "(1.2.840.10008.1.1): abstract syntax not supported (context 1, result 3)"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cause);
        std::filesystem::remove_all(dir.file("logs"));
        std::filesystem::create_directories(dir.file("logs"));
        peer = std::make_unique<Peer>(std::vector<Peer::Step>{
            Peer::Expect(associateRequestSize(VerificationSopClass)), Peer::Send(c.accept),
            Peer::Expect(abortPdu.size()), Peer::ExpectEnd()});
        std::string port = peer->PortText();
        Result failed = run("ECHO", peer);
        expectFailure(failed, "ECHO", port, c.cause, c.reason);
        EXPECT_LT(failed.took, std::chrono::seconds(ShortTimeout));
        ASSERT_TRUE(peer->Finish()) << peer->Failure();
        std::vector<uint8_t> tail(peer->Received().end() - 10, peer->Received().end());
        EXPECT_EQ(tail, abortPdu);
        expectNothingLeft(peer);
    }
}

TEST_F(HostilePeerTest, AcceptCutShortIsATimeOut) {
    std::vector<uint8_t> half = acceptPdu();
    half.resize(half.size() - 20);
    auto peer = std::make_unique<Peer>(
        std::vector<Peer::Step>{Peer::Expect(associateRequestSize(VerificationSopClass)),
                                Peer::Send(half), Peer::Silent(std::chrono::seconds(20))});
    std::string port = peer->PortText();
    Result r = run("ECHO", peer);
    expectFailure(r, "ECHO", port,
                  "ERROR, PDU_Service::Connect, timed out reading the A-ASSOCIATE-AC",
                  "awaiting the A-ASSOCIATE-AC: no answer within 2 s");
    EXPECT_EQ(r.log.find("Transfer Syntax is Empty"), std::string::npos);
    expectNothingLeft(peer);
}

// An item of the user information put at the top level of the accept (0x56, extended
// negotiation) is passed over; the maximum length after it (4000) is honoured.
TEST_F(HostilePeerTest, StrayItemInTheAcceptDoesNotHideThePeersMaximumLength) {
    TempDir files;
    writeLargeImage(files.file("small.dcm"), 20000);
    std::vector<uint8_t> stray = hexBytes("56 00 00 0B  00 07 31 2E 32 2E 33 2E 34  01 00");
    auto peer = std::make_unique<Peer>(std::vector<Peer::Step>{
        Peer::Expect(StoreRequestSize),
        Peer::Send(acceptPduOf({{1, 0, "1.2.840.10008.1.2"}}, 4000, stray)), Peer::ExpectEnd()});
    Result r = run("STORE", peer, files.file("small.dcm").string());
    ASSERT_TRUE(peer->Finish()) << peer->Failure();
    const std::vector<uint8_t>& bytes = peer->Received();
    std::size_t at = StoreRequestSize, pdus = 0;
    while (at + 6 <= bytes.size() && bytes[at] == 0x04) {
        uint32_t length = uint32_t(bytes[at + 2]) << 24 | uint32_t(bytes[at + 3]) << 16 |
                          uint32_t(bytes[at + 4]) << 8 | bytes[at + 5];
        EXPECT_LE(length, 4000u);
        at += 6 + length;
        ++pdus;
    }
    EXPECT_GE(pdus, 6u);
    EXPECT_NE(r.log.find("unknown item type 86 passed over"), std::string::npos) << r.log;
    expectNothingLeft(peer);
}
