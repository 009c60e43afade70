#pragma once
// The byte stream every PDU is written to and read from: an outgoing queue of blocks emptied
// onto the link by Flush, an incoming queue filled from the link and emptied by reads.

#include "Socket.h"
#include "Transport.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

// One entry of either queue. Outgoing: data.size() is the capacity, position the bytes filled.
// Incoming: data.size() is the bytes held, position the bytes already consumed.
struct MemoryBlock {
    std::vector<std::uint8_t> data;
    std::uint32_t position = 0;
    std::uint8_t flag = 0;
    std::uint32_t Size() const { return static_cast<std::uint32_t>(data.size()); }
};

class Buffer {
public:
    static constexpr int LittleEndian = 1;
    static constexpr int BigEndian = 2; // any value but 1 reads and writes big endian
    static constexpr std::int32_t DefaultBlockSize = 32600;
    static constexpr int ReadChunk = 1024;

    // The link is a Socket unless a transport is handed in.
    Buffer() : link(std::make_unique<Socket>()) {}
    explicit Buffer(std::unique_ptr<Transport> transport) : link(std::move(transport)) {}
    virtual ~Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    bool SetReadOrder(int order);
    bool SetWriteOrder(int order);

    // Typed values in the chosen byte order. A failed read yields 0 and false.
    bool ReadU8(std::uint8_t& value);
    bool ReadU16(std::uint16_t& value);
    bool ReadU32(std::uint32_t& value);
    void WriteU8(std::uint8_t value);
    void WriteU16(std::uint16_t value);
    void WriteU32(std::uint32_t value);

    Buffer& operator>>(std::uint8_t& value);
    Buffer& operator>>(std::uint16_t& value);
    Buffer& operator>>(std::uint32_t& value);
    Buffer& operator<<(std::uint8_t value);
    Buffer& operator<<(std::uint16_t value);
    Buffer& operator<<(std::uint32_t value);

    // Appends to the outgoing queue. A write that exactly fills a block leaves an empty block
    // behind it, as the queue's fill rule has always done.
    bool Write(const std::uint8_t* data, std::uint32_t length);
    bool Write(const std::string& text);
    // Sends every filled outgoing block, oldest first, and empties the queue even on failure.
    bool Flush();
    // Takes exactly length bytes from the incoming queue, reading the link as needed.
    bool Read(std::uint8_t* area, std::uint32_t length);
    // One read of at most ReadChunk bytes from the link, appended to the incoming queue.
    bool ReadBlock();
    // Consumes length bytes; memory grows with the bytes that arrive, not with length.
    bool Skip(std::uint32_t length);
    // Takes length bytes from the source's incoming queue into one incoming block here.
    bool MoveIn(Buffer& source, std::uint32_t length);
    // Takes length bytes from the front of the outgoing queue and writes them to the target.
    bool MoveOut(Buffer& target, std::uint32_t length);
    // Takes length bytes from the front of the outgoing queue into area; false, with nothing
    // taken, when fewer are queued.
    bool TakeOut(std::uint8_t* area, std::uint32_t length);

    // Appends bytes to the incoming queue as if the link had delivered them: the staging
    // buffer's input, and the way readers are driven without a connection.
    void Supply(const std::uint8_t* data, std::uint32_t length);
    void Supply(const std::vector<std::uint8_t>& bytes) {
        Supply(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    }
    // Drops both queues.
    void Clear();

    std::uint32_t Available() const { return available; }
    std::uint32_t Queued() const { return queued; }
    std::size_t IncomingBlockCount() const { return incoming.size(); }
    std::size_t OutgoingBlockCount() const { return outgoing.size(); }
    int ReadOrder() const { return readOrder; }
    int WriteOrder() const { return writeOrder; }
    Transport& Link() { return *link; }
    const Transport& Link() const { return *link; }
    // Replaces the link; the one replaced is closed with its destruction.
    void SetTransport(std::unique_ptr<Transport> transport) { link = std::move(transport); }

private:
    void appendOutgoingBlock();

    std::int32_t blockSize = DefaultBlockSize;
    int readOrder = LittleEndian;
    int writeOrder = LittleEndian;
    std::deque<MemoryBlock> incoming;
    std::deque<MemoryBlock> outgoing;
    std::unique_ptr<Transport> link;
    std::uint32_t available = 0;
    std::uint32_t queued = 0;
};

// Outcome of reading one item.
//   Ok:        read, the stream is in step after it.
//   Malformed: bad inside, but its declared extent was consumed: the enclosing item is in step.
//   Broken:    its own length ran past the enclosing item, or the link failed: the enclosing
//              item is out of step and must be abandoned.
enum class ItemResult { Ok, Malformed, Broken };

// A cursor over a Buffer that never reads past the length of the item it stands for. A read
// beyond the limit fails without touching the stream; a sub-reader covers one nested item
// and is charged to its parent in full when it is made.
class BoundedReader {
public:
    BoundedReader(Buffer& in, std::uint32_t limit) : in(in), remaining(limit), failed(&ownFailed) {}

    std::uint32_t Remaining() const { return remaining; }
    bool Has(std::uint32_t n) const { return n <= remaining; }
    // True once the link failed under this reader or any reader sharing its stream.
    bool LinkFailed() const { return *failed; }

    bool U8(std::uint8_t& value);
    bool U16(std::uint16_t& value);
    bool U32(std::uint32_t& value);
    // Consumes length bytes and keeps at most keep of them: long values are cut, not refused.
    bool Text(std::uint32_t length, std::string& value, std::size_t keep = 64);
    bool Skip(std::uint32_t n);
    // Consumes whatever is left; nothing is read once the link has failed.
    bool SkipRest();
    // The next n bytes as a nested reader; the caller checks Has(n) first.
    BoundedReader Sub(std::uint32_t n);

private:
    BoundedReader(Buffer& in, std::uint32_t limit, bool* failed)
        : in(in), remaining(limit), failed(failed) {}
    bool take(std::uint32_t n);
    bool check(bool ok);

    Buffer& in;
    std::uint32_t remaining;
    bool ownFailed = false;
    bool* failed;
};
