#pragma once
// Decoder and encoder of data sets over an in-memory byte stream.
//
// Element headers (numbers in the stream's byte order):
//   implicit VR, or group 0000/FFFE : group(2) element(2) length(4)              value at 8
//   explicit, VR OB OW SQ UN UT     : group(2) element(2) VR(2) 00 00 length(4)  value at 12
//   explicit, any other VR          : group(2) element(2) VR(2) length(2)        value at 8

#include "DcmObj.h"
#include "FileSnapshot.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class BufData {
public:
    uint8_t bigEndian = 0;

    explicit BufData(uint8_t bigEndian = 0) : bigEndian(bigEndian) {}
    // A read-only stream over bytes owned by the caller, which must outlive it. When owner
    // holds those bytes, large values decoded from them share it instead of being copied.
    BufData(uint8_t bigEndian, const uint8_t* bytes, std::size_t size,
            std::shared_ptr<uint8_t[]> owner = nullptr)
        : bigEndian(bigEndian), owner_(std::move(owner)), view_(bytes), viewSize_(size) {}

    // Missing bytes read as zero.
    uint16_t ReadUShort();
    uint32_t ReadULong();
    std::size_t ReadBytes(void* buffer, std::size_t count);
    void WriteUShort(uint16_t value);
    void WriteULong(uint32_t value);
    void WriteBytes(const void* bytes, std::size_t count);
    std::size_t Position() const { return pos_; }
    std::size_t Size() const {
        return file_ ? static_cast<std::size_t>(file_->Size()) : view_ ? viewSize_ : stream_.size();
    }
    void Seek(std::size_t offset) { pos_ = offset; }
    void Clear();
    // The bytes of a stream in memory (not of a loaded file, which is read as it is decoded).
    const uint8_t* Bytes() const { return view_ ? view_ : stream_.data(); }
    // Hands over the written bytes, leaving the stream empty.
    std::vector<uint8_t> TakeBytes();

    // Receives the encoded bytes in order, in place of the stream, so that a large data set is
    // never held twice; returning false stops the encoding (later writes are dropped).
    using ByteSink = std::function<bool(const uint8_t* bytes, std::size_t count)>;
    void SetSink(ByteSink sink) { sink_ = std::move(sink); }
    // Hands the bytes still held back to the sink; false once the sink has refused any.
    bool FlushSink();

    bool ReadTag(DcmTag& element, bool explicitVR, bool metaExplicit);
    bool ReadObject(DcmObj& dataSet);
    void WriteTag(const DcmTag& element, bool explicitVR);
    // False (logged, and nothing more reaches the sink) when a value left in its file, or the
    // file the data set was read from, is no longer as it was read: such a message must not
    // be completed.
    bool WriteObject(DcmObj& dataSet);
    // The name of the file that changed while the data set was written; empty while none did.
    const std::string& ChangedFile() const { return changedFile_; }

    // The file is read as it is decoded, never held whole; with FileValues::InFile the large
    // values stay in it (DcmTag::file) and File() is what the data set keeps.
    bool LoadFromFile(const std::string& fileName, FileValues values = FileValues::Copied);
    const std::shared_ptr<const FileSnapshot>& File() const { return file_; }
    bool ReadMetaHeader(std::string& transferSyntax);

private:
    std::string changedFile_;
    std::vector<uint8_t> stream_;
    // The block behind view_ when large values may share it: a loaded file, or the value
    // of a sequence read from one.
    std::shared_ptr<uint8_t[]> owner_;
    const uint8_t* view_ = nullptr;
    std::size_t viewSize_ = 0;
    std::size_t pos_ = 0;
    ByteSink sink_;
    bool sinkRefused_ = false;
    // A loaded file, read through a window of its bytes.
    std::shared_ptr<const FileSnapshot> file_;
    bool valuesInFile_ = false;
    std::vector<uint8_t> window_;
    std::size_t windowStart_ = 0;
    // Encoding: the files whose bytes went out, and whether one of them changed.
    std::vector<const FileSnapshot*> sources_;
    bool sourceChanged_ = false;

    void writeToSink(const uint8_t* bytes, std::size_t count);
    std::size_t readFile(uint8_t* area, std::size_t count);
    void writeFileValue(const DcmTag& element);
    bool noteSource(const FileSnapshot& file);
    void sourceChanged(const FileSnapshot& file);
    std::size_t remaining() const { return pos_ < Size() ? Size() - pos_ : 0; }
};

// Decodes the value of a sequence or item element into n.
bool Expand_SQ(DcmObj& n, const DcmTag& e);

// True for the VRs written with a 32-bit length in explicit VR.
bool HasLongLength(const char* vr);
