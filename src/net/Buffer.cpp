#include "Buffer.h"

#include "ByteOrder.h"
#include "Log.h"

#include <algorithm>
#include <cstring>

bool Buffer::SetReadOrder(int order) {
    readOrder = order;
    return true;
}

bool Buffer::SetWriteOrder(int order) {
    writeOrder = order;
    return true;
}

bool Buffer::ReadU8(std::uint8_t& value) {
    value = 0;
    return Read(&value, 1);
}

bool Buffer::ReadU16(std::uint16_t& value) {
    std::uint8_t b[2];
    value = 0;
    if (!Read(b, 2))
        return false;
    value = ByteOrder::Load16(b, readOrder != LittleEndian);
    return true;
}

bool Buffer::ReadU32(std::uint32_t& value) {
    std::uint8_t b[4];
    value = 0;
    if (!Read(b, 4))
        return false;
    value = ByteOrder::Load32(b, readOrder != LittleEndian);
    return true;
}

void Buffer::WriteU8(std::uint8_t value) {
    Write(&value, 1);
}

void Buffer::WriteU16(std::uint16_t value) {
    std::uint8_t b[2];
    ByteOrder::Store16(b, value, writeOrder != LittleEndian);
    Write(b, 2);
}

void Buffer::WriteU32(std::uint32_t value) {
    std::uint8_t b[4];
    ByteOrder::Store32(b, value, writeOrder != LittleEndian);
    Write(b, 4);
}

Buffer& Buffer::operator>>(std::uint8_t& value) {
    ReadU8(value);
    return *this;
}
Buffer& Buffer::operator>>(std::uint16_t& value) {
    ReadU16(value);
    return *this;
}
Buffer& Buffer::operator>>(std::uint32_t& value) {
    ReadU32(value);
    return *this;
}
Buffer& Buffer::operator<<(std::uint8_t value) {
    WriteU8(value);
    return *this;
}
Buffer& Buffer::operator<<(std::uint16_t value) {
    WriteU16(value);
    return *this;
}
Buffer& Buffer::operator<<(std::uint32_t value) {
    WriteU32(value);
    return *this;
}

void Buffer::appendOutgoingBlock() {
    MemoryBlock block;
    block.data.resize(static_cast<std::size_t>(blockSize));
    outgoing.push_back(std::move(block));
}

bool Buffer::Write(const std::uint8_t* data, std::uint32_t length) {
    if (outgoing.empty())
        appendOutgoingBlock();
    while (length > 0) {
        MemoryBlock& last = outgoing.back();
        std::uint32_t space = last.Size() - last.position;
        if (space == 0) {
            appendOutgoingBlock();
            continue;
        }
        std::uint32_t n = std::min(length, space);
        std::memcpy(last.data.data() + last.position, data, n);
        last.position += n;
        queued += n;
        data += n;
        length -= n;
        if (n == space)
            appendOutgoingBlock();
    }
    return true;
}

bool Buffer::Write(const std::string& text) {
    return Write(reinterpret_cast<const std::uint8_t*>(text.data()),
                 static_cast<std::uint32_t>(text.size()));
}

bool Buffer::Flush() {
    bool ok = true;
    for (MemoryBlock& block : outgoing) {
        if (block.position == 0)
            continue;
        if (!link->SendBinary(block.data.data(), static_cast<int>(block.position))) {
            LogMessage("ERROR, Buffer::Flush, failed socket::SendBinary, mem=" +
                       std::to_string(ProcessMemoryMB()));
            ok = false;
        }
    }
    outgoing.clear();
    queued = 0;
    return ok;
}

bool Buffer::ReadBlock() {
    std::uint8_t chunk[ReadChunk];
    int size = std::min<int>(blockSize, ReadChunk);
    int received;
    do
        received = link->ReadBinary(chunk, size);
    while (received == 0);
    if (received < 0) {
        LogMessage("ERROR, Buffer::ReadBlock, Error from ReadBinary()");
        return false;
    }
    Supply(chunk, static_cast<std::uint32_t>(received));
    return true;
}

void Buffer::Supply(const std::uint8_t* data, std::uint32_t length) {
    if (length == 0)
        return;
    MemoryBlock block;
    block.data.assign(data, data + length);
    incoming.push_back(std::move(block));
    available += length;
}

bool Buffer::Read(std::uint8_t* area, std::uint32_t length) {
    if (length == 0)
        return true;
    while (available < length) {
        if (!ReadBlock()) {
            LogMessage("ERROR, Buffer::Read, failed ReadBlock");
            return false;
        }
    }
    while (length > 0) {
        MemoryBlock& front = incoming.front();
        std::uint32_t left = front.Size() - front.position;
        if (left == 0) {
            incoming.pop_front();
            continue;
        }
        std::uint32_t n = std::min(left, length);
        std::memcpy(area, front.data.data() + front.position, n);
        front.position += n;
        available -= n;
        area += n;
        length -= n;
        // A block used up by the last byte stays until the next read, as the queue always did.
        if (length > 0)
            incoming.pop_front();
    }
    return true;
}

bool Buffer::Skip(std::uint32_t length) {
    std::uint8_t scratch[ReadChunk];
    while (length > 0) {
        std::uint32_t n = std::min<std::uint32_t>(length, ReadChunk);
        if (!Read(scratch, n))
            return false;
        length -= n;
    }
    return true;
}

bool Buffer::MoveIn(Buffer& source, std::uint32_t length) {
    // Grows with what the source really holds or receives, so a declared length alone never
    // decides an allocation.
    std::vector<std::uint8_t> gathered;
    while (gathered.size() < length) {
        std::uint32_t left = length - static_cast<std::uint32_t>(gathered.size());
        std::uint32_t n = std::min(left, std::max<std::uint32_t>(source.available, ReadChunk));
        std::size_t at = gathered.size();
        gathered.resize(at + n);
        if (!source.Read(gathered.data() + at, n)) {
            LogMessage("ERROR, Buffer::MoveIn, in->Read");
            return false;
        }
    }
    if (length == 0)
        return true;
    MemoryBlock block;
    block.data = std::move(gathered);
    incoming.push_back(std::move(block));
    available += length;
    return true;
}

bool Buffer::MoveOut(Buffer& target, std::uint32_t length) {
    std::vector<std::uint8_t> gathered(length);
    return TakeOut(gathered.data(), length) && target.Write(gathered.data(), length);
}

bool Buffer::TakeOut(std::uint8_t* area, std::uint32_t length) {
    if (queued < length) {
        LogMessage("ERROR, Buffer::MoveOut, Outsize<Byte");
        return false;
    }
    queued -= length;
    std::uint32_t remaining = length;
    while (remaining > 0 && !outgoing.empty()) {
        MemoryBlock& front = outgoing.front();
        const std::uint32_t n = std::min(front.position, remaining);
        std::memcpy(area, front.data.data(), n);
        area += n;
        remaining -= n;
        if (front.position > n) {
            std::memmove(front.data.data(), front.data.data() + n, front.position - n);
            front.position -= n;
        } else {
            outgoing.pop_front();
        }
    }
    return true;
}

void Buffer::Clear() {
    incoming.clear();
    outgoing.clear();
    available = 0;
    queued = 0;
}

bool BoundedReader::check(bool ok) {
    if (!ok)
        *failed = true;
    return ok;
}

bool BoundedReader::take(std::uint32_t n) {
    if (*failed || n > remaining)
        return false;
    remaining -= n;
    return true;
}

bool BoundedReader::U8(std::uint8_t& value) {
    value = 0;
    return take(1) && check(in.ReadU8(value));
}

bool BoundedReader::U16(std::uint16_t& value) {
    value = 0;
    return take(2) && check(in.ReadU16(value));
}

bool BoundedReader::U32(std::uint32_t& value) {
    value = 0;
    return take(4) && check(in.ReadU32(value));
}

bool BoundedReader::Text(std::uint32_t length, std::string& value, std::size_t keep) {
    value.clear();
    if (!take(length))
        return false;
    std::uint32_t kept = static_cast<std::uint32_t>(std::min<std::size_t>(length, keep));
    value.resize(kept);
    if (!check(in.Read(reinterpret_cast<std::uint8_t*>(value.data()), kept))) {
        value.clear();
        return false;
    }
    // A terminator inside the value ends it, as it would end a stored C text.
    if (auto nul = value.find('\0'); nul != std::string::npos)
        value.resize(nul);
    return check(in.Skip(length - kept));
}

bool BoundedReader::Skip(std::uint32_t n) {
    return take(n) && check(in.Skip(n));
}

bool BoundedReader::SkipRest() {
    return *failed ? false : Skip(remaining);
}

BoundedReader BoundedReader::Sub(std::uint32_t n) {
    std::uint32_t granted = std::min(n, remaining);
    remaining -= granted;
    return BoundedReader(in, granted, failed);
}
