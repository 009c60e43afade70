#include "ScriptedPeer.h"

#include <cctype>
#include <cerrno>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds Slice{50};

// Waits for readability in short slices so a stopping peer is not held up.
// 1 readable, 0 time-out, -1 stopped or error.
int waitReadable(int fd, std::chrono::milliseconds wait, const std::atomic<bool>* stop) {
    auto end = Clock::now() + wait;
    for (;;) {
        if (stop && *stop)
            return -1;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0)
            return 0;
        pollfd entry{fd, POLLIN, 0};
        int ready = ::poll(&entry, 1, static_cast<int>(std::min(left, Slice).count()));
        if (ready > 0)
            return 1;
        if (ready < 0 && errno != EINTR)
            return -1;
    }
}

class PlainStream : public PeerStream {
public:
    explicit PlainStream(int fd) : fd(fd) {}
    ~PlainStream() override { ::close(fd); }
    long Read(std::uint8_t* area, std::size_t size, std::chrono::milliseconds wait) override {
        if (waitReadable(fd, wait, nullptr) != 1)
            return -1;
        ssize_t n = ::recv(fd, area, size, 0);
        return n < 0 ? -2 : static_cast<long>(n);
    }
    bool Write(const std::uint8_t* data, std::size_t size) override {
        while (size > 0) {
            ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }

private:
    int fd;
};

} // namespace

std::unique_ptr<PeerStream> PlainPeerStream(int fd) {
    return std::make_unique<PlainStream>(fd);
}

ScriptedPeer::Step ScriptedPeer::Expect(std::size_t n) {
    Step s;
    s.kind = Step::Kind::Expect;
    s.count = n;
    return s;
}

ScriptedPeer::Step ScriptedPeer::Send(std::vector<std::uint8_t> bytes) {
    Step s;
    s.kind = Step::Kind::Send;
    s.bytes = std::move(bytes);
    return s;
}

ScriptedPeer::Step ScriptedPeer::SendAfter(std::chrono::milliseconds pause,
                                           std::vector<std::uint8_t> bytes) {
    Step s = Send(std::move(bytes));
    s.pause = pause;
    return s;
}

ScriptedPeer::Step ScriptedPeer::Close() {
    Step s;
    s.kind = Step::Kind::Close;
    return s;
}

ScriptedPeer::Step ScriptedPeer::ExpectEnd() {
    Step s;
    s.kind = Step::Kind::ExpectEnd;
    return s;
}

ScriptedPeer::Step ScriptedPeer::Silent(std::chrono::milliseconds duration) {
    Step s;
    s.kind = Step::Kind::Silent;
    s.pause = duration;
    return s;
}

ScriptedPeer::Step ScriptedPeer::Act(std::function<void()> action) {
    Step s;
    s.kind = Step::Kind::Act;
    s.action = std::move(action);
    return s;
}

ScriptedPeer::ScriptedPeer(std::vector<Step> script, PeerStreamFactory makeStream)
    : steps(std::move(script)), factory(std::move(makeStream)) {
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0)
        throw std::runtime_error("ScriptedPeer: socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t size = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ::close(listener);
        throw std::runtime_error("ScriptedPeer: bind");
    }
    port = ntohs(address.sin_port);
    worker = std::thread([this] { run(); });
}

ScriptedPeer::~ScriptedPeer() {
    stop = true;
    if (worker.joinable())
        worker.join();
    ::close(listener);
}

bool ScriptedPeer::Finish() {
    if (worker.joinable())
        worker.join();
    return failure.empty();
}

void ScriptedPeer::run() {
    if (waitReadable(listener, StepLimit, &stop) != 1) {
        failure = "no connection";
        return;
    }
    int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) {
        failure = "accept failed";
        return;
    }
    std::unique_ptr<PeerStream> stream = factory ? factory(fd) : PlainPeerStream(fd);
    if (!stream) {
        failure = "stream set-up failed";
        return;
    }
    play(*stream);
}

bool ScriptedPeer::play(PeerStream& stream) {
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        std::string where = "step " + std::to_string(i) + ": ";
        switch (step.kind) {
        case Step::Kind::Expect: {
            std::size_t got = 0;
            std::uint8_t chunk[4096];
            auto end = Clock::now() + StepLimit;
            while (got < step.count) {
                if (stop || Clock::now() >= end) {
                    failure = where + "expected " + std::to_string(step.count) + " bytes, got " +
                              std::to_string(got);
                    return false;
                }
                std::size_t want = std::min(sizeof chunk, step.count - got);
                long n = stream.Read(chunk, want, Slice);
                if (n == 0) {
                    failure = where + "closed after " + std::to_string(got) + " of " +
                              std::to_string(step.count) + " bytes";
                    return false;
                }
                if (n > 0) {
                    received.insert(received.end(), chunk, chunk + n);
                    got += static_cast<std::size_t>(n);
                }
            }
            break;
        }
        case Step::Kind::Send:
            if (step.pause.count() > 0)
                std::this_thread::sleep_for(step.pause);
            if (!stream.Write(step.bytes.data(), step.bytes.size())) {
                failure = where + "send failed";
                return false;
            }
            break;
        case Step::Kind::Close:
            return true;
        case Step::Kind::ExpectEnd: {
            std::uint8_t chunk[4096];
            auto end = Clock::now() + StepLimit;
            for (;;) {
                if (stop || Clock::now() >= end) {
                    failure = where + "the client did not end the connection";
                    return false;
                }
                long n = stream.Read(chunk, sizeof chunk, Slice);
                if (n == 0)
                    break;
                if (n == -2) {
                    failure = where + "the connection was reset, not closed";
                    return false;
                }
                if (n > 0)
                    received.insert(received.end(), chunk, chunk + n);
            }
            break;
        }
        case Step::Kind::Act:
            step.action();
            break;
        case Step::Kind::Silent: {
            auto end = Clock::now() + step.pause;
            std::uint8_t sink[4096];
            while (!stop && Clock::now() < end) {
                // Whatever the client sends meanwhile is drained; its close ends the silence.
                if (stream.Read(sink, sizeof sink, Slice) == 0)
                    break;
            }
            break;
        }
        }
    }
    return true;
}
