#include "MemoryTransport.h"

#include <algorithm>
#include <cstring>

namespace testsupport {

void MemoryTransport::Supply(const std::vector<std::uint8_t>& bytes) {
    SupplyAfterOutput(0, bytes);
}

void MemoryTransport::SupplyAfterOutput(std::size_t outputBytes,
                                        const std::vector<std::uint8_t>& bytes) {
    if (!bytes.empty())
        input.push_back({outputBytes, bytes});
}

std::size_t MemoryTransport::Unread() const {
    std::size_t total = 0;
    for (const Segment& segment : input)
        total += segment.bytes.size();
    return total - consumed;
}

const std::vector<std::uint8_t>* MemoryTransport::front() const {
    if (input.empty() || input.front().after > output.size())
        return nullptr;
    return &input.front().bytes;
}

bool MemoryTransport::failsNow(Op kind) {
    ++operations;
    int count = kind == Op::Read ? reads : writePieces;
    int index = failKind == Op::Any ? operations : count;
    return failAt > 0 && (failKind == Op::Any || failKind == kind) && index == failAt;
}

bool MemoryTransport::Connect(const std::string& toHost, const std::string& toPort) {
    host = toHost;
    port = toPort;
    connected = connectSucceeds;
    return connected;
}

bool MemoryTransport::SetupTLS(const TlsOptions&, const std::string&) {
    return tlsSucceeds;
}

bool MemoryTransport::InputWaiting() const {
    if (!connected)
        return false;
    return front() != nullptr || (remoteClosing && input.empty());
}

bool MemoryTransport::SendBinary(const std::uint8_t* data, int length) {
    if (!connected)
        return false;
    std::size_t left = static_cast<std::size_t>(std::max(length, 0));
    while (left > 0) {
        ++writePieces;
        if (failsNow(Op::Write))
            return false;
        std::size_t n = std::min(left, writeSize);
        output.insert(output.end(), data, data + n);
        data += n;
        left -= n;
    }
    sends.push_back(length);
    if (onSend)
        onSend(*this);
    return true;
}

int MemoryTransport::ReadBinary(std::uint8_t* area, int size) {
    if (!connected)
        return -1;
    ++reads;
    if (failsNow(Op::Read)) {
        connected = false;
        return -1;
    }
    const std::vector<std::uint8_t>* bytes = front();
    if (!bytes) {
        // A close, or silence until the time-out: either way the link is gone.
        connected = false;
        return -1;
    }
    std::size_t n =
        std::min({static_cast<std::size_t>(std::max(size, 0)), readSize, bytes->size() - consumed});
    std::memcpy(area, bytes->data() + consumed, n);
    consumed += n;
    if (consumed == bytes->size()) {
        input.pop_front();
        consumed = 0;
    }
    return static_cast<int>(n);
}

} // namespace testsupport
