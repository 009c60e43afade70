#include "ReactivePeer.h"

#include "ScriptedPeer.h"

#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds Slice{50};

// Reads exactly n bytes within the limit; false on a close, an error, the limit or a stop.
bool readExactly(PeerStream& stream, std::uint8_t* to, std::size_t n,
                 const std::atomic<bool>& stop) {
    auto end = Clock::now() + ReactivePeer::StepLimit;
    while (n > 0) {
        if (stop || Clock::now() >= end)
            return false;
        long got = stream.Read(to, n, Slice);
        if (got == 0 || got == -2)
            return false;
        if (got > 0) {
            to += got;
            n -= static_cast<std::size_t>(got);
        }
    }
    return true;
}

// Command sets are implicit VR little endian: (0000,0800) other than 0101 announces a data set.
bool dataSetFollows(const ReactivePeer::Bytes& command) {
    auto u16 = [&](std::size_t at) { return std::uint16_t(command[at] | command[at + 1] << 8); };
    for (std::size_t at = 0; at + 8 <= command.size();) {
        std::uint32_t length = std::uint32_t(command[at + 4]) | command[at + 5] << 8 |
                               command[at + 6] << 16 | std::uint32_t(command[at + 7]) << 24;
        if (u16(at) == 0x0000 && u16(at + 2) == 0x0800 && length == 2 && at + 10 <= command.size())
            return u16(at + 8) != 0x0101;
        at += 8 + length;
    }
    return false;
}

} // namespace

ReactivePeer::ReactivePeer(Handlers given, int count)
    : handlers(std::move(given)), associations(count) {
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0)
        throw std::runtime_error("ReactivePeer: socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ::close(listener);
        throw std::runtime_error("ReactivePeer: bind");
    }
    port = ntohs(address.sin_port);
    worker = std::thread([this] { run(); });
}

ReactivePeer::~ReactivePeer() {
    stop = true;
    Finish();
    ::close(listener);
}

void ReactivePeer::Finish() {
    if (worker.joinable())
        worker.join();
}

void ReactivePeer::run() {
    for (int i = 0; i < associations && !stop; ++i) {
        auto end = Clock::now() + StepLimit;
        bool ready = false;
        while (!ready && !stop && Clock::now() < end) {
            pollfd entry{listener, POLLIN, 0};
            ready = ::poll(&entry, 1, static_cast<int>(Slice.count())) > 0;
        }
        if (!ready)
            return;
        int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0)
            return;
        ++connections;
        serve(fd);
    }
}

void ReactivePeer::serve(int fd) {
    std::unique_ptr<PeerStream> stream = PlainPeerStream(fd);
    auto send = [&](const Bytes& pdu) { return stream->Write(pdu.data(), pdu.size()); };
    Bytes command, data;
    bool commandDone = false;
    for (;;) {
        Bytes pdu(6);
        if (!readExactly(*stream, pdu.data(), 6, stop))
            return;
        std::uint32_t length = std::uint32_t(pdu[2]) << 24 | pdu[3] << 16 | pdu[4] << 8 | pdu[5];
        pdu.resize(6 + length);
        if (!readExactly(*stream, pdu.data() + 6, length, stop))
            return;
        switch (pdu[0]) {
        case 0x01:
            if (!send(handlers.associate(pdu)))
                return;
            break;
        case 0x04:
            for (std::size_t at = 6; at + 6 <= pdu.size();) {
                std::size_t pdv =
                    std::size_t(pdu[at]) << 24 | pdu[at + 1] << 16 | pdu[at + 2] << 8 | pdu[at + 3];
                if (pdv < 2 || at + 4 + pdv > pdu.size())
                    return;
                std::uint8_t context = pdu[at + 4], control = pdu[at + 5];
                Bytes& into = (control & 1) ? command : data;
                into.insert(into.end(), pdu.begin() + at + 6, pdu.begin() + at + 4 + pdv);
                at += 4 + pdv;
                if (!(control & 2))
                    continue;
                if (control & 1) {
                    commandDone = true;
                    if (dataSetFollows(command))
                        continue;
                }
                if (!commandDone)
                    continue;
                // One write, so that answers sent back to back reach the client together.
                Bytes replies;
                for (const Bytes& reply : handlers.message(context, command, data))
                    replies.insert(replies.end(), reply.begin(), reply.end());
                if (!replies.empty() && !send(replies))
                    return;
                command.clear();
                data.clear();
                commandDone = false;
            }
            break;
        case 0x05:
            ++releases;
            send({0x06, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00});
            return;
        default: // an abort, or anything this peer does not speak
            return;
        }
    }
}

} // namespace testsupport
