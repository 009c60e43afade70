#include "BufData.h"

#include "ByteOrder.h"
#include "Log.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>

namespace {

std::string hex4(uint16_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", v);
    return text;
}

bool isPixelData(const DcmTag& e) {
    return e.Is(0x7FE0, 0x0010);
}

bool isItem(const DcmTag& e) {
    return e.Is(0xFFFE, 0xE000);
}

bool hasDefinedContent(const DcmTag& e) {
    return e.length != 0 && e.length != UndefinedLength;
}

// Values at least this long share the stream's block instead of being copied out of it.
constexpr std::size_t ShareThreshold = 64 * 1024;

// Values at least this long stay in their file when the caller asks for it.
constexpr std::size_t InFileThreshold = 64 * 1024;

// Bytes of a file read at once while it is decoded; longer reads go straight to their block.
constexpr std::size_t FileWindow = 256 * 1024;

// Bytes of a value left in its file that are read and sent at once.
constexpr std::size_t FileValueBlock = 1 << 20;

} // namespace

bool HasLongLength(const char* vr) {
    static const char* const longForms[] = {"OB", "OW", "SQ", "UN", "UT"};
    for (const char* v : longForms)
        if (vr[0] == v[0] && vr[1] == v[1])
            return true;
    return false;
}

// --- stream primitives -----------------------------------------------------------------------

std::size_t BufData::ReadBytes(void* buffer, std::size_t count) {
    std::size_t n = count < remaining() ? count : remaining();
    if (file_) {
        std::size_t got = n ? readFile(static_cast<uint8_t*>(buffer), n) : 0;
        pos_ += n;
        return got;
    }
    if (n)
        std::memcpy(buffer, Bytes() + pos_, n);
    pos_ += n;
    return n;
}

std::size_t BufData::readFile(uint8_t* area, std::size_t count) {
    if (count >= FileWindow)
        return file_->ReadAt(pos_, area, count);
    if (pos_ < windowStart_ || pos_ + count > windowStart_ + window_.size()) {
        window_.resize(std::min(FileWindow, remaining()));
        window_.resize(file_->ReadAt(pos_, window_.data(), window_.size()));
        windowStart_ = pos_;
    }
    std::size_t from = pos_ - windowStart_;
    std::size_t got = std::min(count, window_.size() - std::min(from, window_.size()));
    if (got)
        std::memcpy(area, window_.data() + from, got);
    return got;
}

uint16_t BufData::ReadUShort() {
    uint8_t b[2] = {0, 0};
    ReadBytes(b, 2);
    return ByteOrder::Load16(b, bigEndian != 0);
}

uint32_t BufData::ReadULong() {
    uint8_t b[4] = {0, 0, 0, 0};
    ReadBytes(b, 4);
    return ByteOrder::Load32(b, bigEndian != 0);
}

// Small writes are gathered up to this size before they reach a sink; larger values go
// through at once.
constexpr std::size_t SinkChunk = 64 * 1024;

void BufData::writeToSink(const uint8_t* bytes, std::size_t count) {
    pos_ += count;
    if (sinkRefused_)
        return;
    if (stream_.size() + count < SinkChunk) {
        stream_.insert(stream_.end(), bytes, bytes + count);
        return;
    }
    if (!FlushSink())
        return;
    if (count < SinkChunk)
        stream_.insert(stream_.end(), bytes, bytes + count);
    else if (!sink_(bytes, count))
        sinkRefused_ = true;
}

bool BufData::FlushSink() {
    if (sink_ && !sinkRefused_ && !stream_.empty() && !sink_(stream_.data(), stream_.size()))
        sinkRefused_ = true;
    stream_.clear();
    return !sinkRefused_;
}

void BufData::WriteBytes(const void* bytes, std::size_t count) {
    if (sink_) {
        writeToSink(static_cast<const uint8_t*>(bytes), count);
        return;
    }
    if (view_) {
        // Writing turns a view into an owned stream.
        stream_.assign(view_, view_ + viewSize_);
        view_ = nullptr;
        viewSize_ = 0;
        owner_.reset();
    }
    if (count == 0)
        return;
    if (pos_ > stream_.size())
        stream_.resize(pos_);
    std::size_t overlap = std::min(count, stream_.size() - pos_);
    const uint8_t* src = static_cast<const uint8_t*>(bytes);
    if (overlap)
        std::memcpy(stream_.data() + pos_, src, overlap);
    stream_.insert(stream_.end(), src + overlap, src + count);
    pos_ += count;
}

void BufData::WriteUShort(uint16_t value) {
    uint8_t b[2];
    ByteOrder::Store16(b, value, bigEndian != 0);
    WriteBytes(b, 2);
}

void BufData::WriteULong(uint32_t value) {
    uint8_t b[4];
    ByteOrder::Store32(b, value, bigEndian != 0);
    WriteBytes(b, 4);
}

void BufData::Clear() {
    std::vector<uint8_t>().swap(stream_);
    std::vector<uint8_t>().swap(window_);
    windowStart_ = 0;
    file_.reset();
    owner_.reset();
    view_ = nullptr;
    viewSize_ = 0;
    pos_ = 0;
}

std::vector<uint8_t> BufData::TakeBytes() {
    if (view_)
        stream_.assign(view_, view_ + viewSize_);
    std::vector<uint8_t> out;
    out.swap(stream_);
    Clear();
    return out;
}

// --- decoding --------------------------------------------------------------------------------

bool BufData::ReadTag(DcmTag& e, bool explicitVR, bool metaExplicit) {
    e.group = ReadUShort();
    e.element = ReadUShort();
    bool mode = (e.group == 0x0002 && metaExplicit) ? true : explicitVR;

    if (e.group != 0x0000 && e.group != 0xFFFE && mode) {
        uint8_t v[2] = {0, 0};
        ReadBytes(v, 2);
        e.vr[0] = static_cast<char>(v[0]);
        e.vr[1] = static_cast<char>(v[1]);
        e.vr[2] = 0;
        bool notLetters = static_cast<int8_t>(v[0]) < 0x41 || static_cast<int8_t>(v[1]) < 0x41;
        if (explicitVR && notLetters) {
            // An implicit element inside an explicit stream: the "VR" bytes are its length.
            e.length = ByteOrder::Load16(v, ByteOrder::Little);
            e.LookupVR();
            uint8_t ignored[2];
            ReadBytes(ignored, 2);
        } else {
            if (!explicitVR)
                e.LookupVR();
            if (HasLongLength(e.vr)) {
                uint8_t reserved[2];
                ReadBytes(reserved, 2);
                e.length = ReadULong();
            } else {
                e.length = ReadUShort();
            }
        }
    } else {
        e.length = ReadULong();
    }

    e.data.reset();
    e.file.reset();
    if (e.length == 0 || e.length == UndefinedLength)
        return true;

    try {
        // Never trust a declared length beyond the bytes that are really there.
        std::size_t want = std::min<std::size_t>(e.length, remaining());
        std::size_t got;
        if (owner_ && want >= ShareThreshold) {
            // Borrow: the element keeps the block alive, the bytes stay where they are.
            e.data =
                std::shared_ptr<uint8_t[]>(owner_, owner_.get() + (view_ - owner_.get()) + pos_);
            pos_ += want;
            got = want;
        } else if (file_ && valuesInFile_ && want >= InFileThreshold) {
            // Left where it is, to be read when it is encoded.
            e.file = file_;
            e.fileOffset = pos_;
            pos_ += want;
            got = want;
        } else {
            try {
                e.data = NewValueBlock(want ? want : 1);
            } catch (const std::bad_alloc&) {
                LogMessage("ERROR, BufData::ReadTag, assigning memory to tag->data");
                return false;
            }
            got = ReadBytes(e.data.get(), want);
        }
        if (got < e.length) {
            LogMessage("WARNING, BufData::ReadTag, read bytes!=tag->length (" + hex4(e.group) +
                       "," + hex4(e.element) + ") count=" + std::to_string(static_cast<long>(got)) +
                       ", tag->length=" + std::to_string(e.length));
            e.length = static_cast<uint32_t>(got);
            if (got == 0)
                e.data.reset();
        }
    } catch (...) {
        LogMessage("ERROR: BufData::ReadTag, (" + hex4(e.group) + "," + hex4(e.element) +
                   ") tag->length=" + std::to_string(e.length) +
                   ", MS Size=" + std::to_string(Size()) + ", MS Pos=" + std::to_string(pos_));
        return false;
    }
    return true;
}

bool BufData::ReadObject(DcmObj& dataSet) {
    const std::size_t size = Size();
    bool inPixelData = false;
    while (pos_ < size) {
        auto e = std::make_unique<DcmTag>();
        if (!ReadTag(*e, dataSet.explicitVR, false))
            return false;
        if (e->group == 0 && e->element == 0 && e->length == 0)
            return true;
        e->bigEndian = bigEndian;
        if (!dataSet.explicitVR) {
            e->LookupVR();
            if (e->IsVR("UN") && e->length == UndefinedLength)
                e->SetVR("SQ");
        }
        if (isPixelData(*e)) {
            dataSet.Append(std::move(e));
            inPixelData = true;
        } else if ((e->IsVR("SQ") || isItem(*e)) && hasDefinedContent(*e) && !inPixelData) {
            if (!e->LoadFileValue() || !dataSet.AddNested(*e))
                return false;
        } else if (e->group == 0x0002) {
            // Meta header elements never enter a data set.
        } else {
            dataSet.Append(std::move(e));
        }
    }
    return true;
}

bool Expand_SQ(DcmObj& n, const DcmTag& e) {
    BufData buf(n.bigEndian, e.data.get(), e.HasValue() ? e.length : 0, e.data);
    bool inPixelData = isPixelData(e);
    while (buf.Position() < buf.Size()) {
        auto c = std::make_unique<DcmTag>();
        if (!buf.ReadTag(*c, n.explicitVR, true)) {
            LogMessage("ERROR, Expand_SQ: Reading tag...");
            return false;
        }
        c->bigEndian = buf.bigEndian;
        if (!n.explicitVR) {
            c->LookupVR();
            if (c->IsVR("UN") && c->length == UndefinedLength)
                c->SetVR("SQ");
        }
        if ((!c->IsVR("SQ") && !isItem(*c)) || !hasDefinedContent(*c) || inPixelData) {
            n.Append(std::move(c));
        } else if (!n.AddNested(*c)) {
            return false;
        }
    }
    return true;
}

// --- encoding --------------------------------------------------------------------------------

void BufData::WriteTag(const DcmTag& e, bool explicitVR) {
    WriteUShort(e.group);
    WriteUShort(e.element);
    if (e.group != 0x0000 && e.group != 0xFFFE && explicitVR) {
        bool longForm = HasLongLength(e.vr);
        // A value too long for the 16-bit length form goes out as UN, which decodes.
        bool tooLong = !longForm && e.length != UndefinedLength && e.length > 0xFFFF;
        const char* vr = tooLong ? "UN" : e.vr;
        uint8_t v[2] = {static_cast<uint8_t>(vr[0]), static_cast<uint8_t>(vr[0] ? vr[1] : 0)};
        WriteBytes(v, 2);
        if (longForm || tooLong) {
            WriteUShort(0);
            WriteULong(e.length);
        } else {
            WriteUShort(static_cast<uint16_t>(e.length & 0xFFFF));
        }
    } else {
        WriteULong(e.length);
    }
    if (e.HasValue())
        WriteBytes(e.data.get(), e.length);
    else if (e.InFile())
        writeFileValue(e);
}

bool BufData::noteSource(const FileSnapshot& file) {
    if (std::find(sources_.begin(), sources_.end(), &file) == sources_.end())
        sources_.push_back(&file);
    return !sourceChanged_;
}

void BufData::sourceChanged(const FileSnapshot& file) {
    if (!sourceChanged_) {
        LogMessage("ERROR, BufData::WriteObject, file changed while being sent: " + file.Name());
        changedFile_ = file.Name();
    }
    sourceChanged_ = true;
    // Whatever is still held or comes later never reaches the sink: the message stays
    // incomplete.
    sinkRefused_ = true;
    if (sink_)
        stream_.clear();
}

// In blocks, each checked against the file as it was read before it is passed on; after a
// change the value is cut short, so the encoding stops there.
void BufData::writeFileValue(const DcmTag& e) {
    const FileSnapshot& file = *e.file;
    if (!noteSource(file))
        return;
    std::vector<uint8_t> block(std::min<std::size_t>(e.length, FileValueBlock));
    // A sink that refused bytes (a lost link) takes no more; the rest is not read for nothing.
    for (std::size_t done = 0; done < e.length && !(sink_ && sinkRefused_);) {
        std::size_t n = std::min<std::size_t>(block.size(), e.length - done);
        if (file.ReadAt(e.fileOffset + done, block.data(), n) != n || !file.Unchanged()) {
            sourceChanged(file);
            return;
        }
        WriteBytes(block.data(), n);
        done += n;
    }
}

bool BufData::WriteObject(DcmObj& dataSet) {
    if (dataSet.file)
        noteSource(*dataSet.file);
    if (dataSet.transferSyntax == ExplicitBigEndian)
        bigEndian = 1;
    for (DcmObj::Entry& entry : dataSet.items) {
        if (entry.tag) {
            WriteTag(*entry.tag, dataSet.explicitVR);
        } else {
            DcmObj& n = *entry.obj;
            n.explicitVR = dataSet.explicitVR;
            DcmObj::EncodeToTag(n, n.itemTag);
            WriteTag(n.itemTag, dataSet.explicitVR);
            n.itemTag.data.reset();
        }
        if (sourceChanged_)
            return false;
    }
    // The last check before the caller completes the message.
    for (const FileSnapshot* file : sources_) {
        if (!file->Unchanged()) {
            sourceChanged(*file);
            return false;
        }
    }
    return true;
}

// --- files -----------------------------------------------------------------------------------

bool BufData::LoadFromFile(const std::string& fileName, FileValues values) {
    Clear();
    std::string error;
    std::shared_ptr<FileSnapshot> file;
    try {
        file = FileSnapshot::Open(fileName, error);
    } catch (const std::exception& ex) {
        error = ex.what();
    }
    if (!file) {
        LogMessage(error.empty() ? "ERROR, BufData::LoadFromFile, Exception"
                                 : "ERROR, BufData::LoadFromFile, " + error);
        return false;
    }
    if (file->Size() == 0) {
        LogMessage("ERROR, BufData::LoadFromFile, ms->Size==0");
        return false;
    }
    file_ = std::move(file);
    valuesInFile_ = values == FileValues::InFile;
    pos_ = 0;
    return true;
}

bool BufData::ReadMetaHeader(std::string& transferSyntax) {
    const std::size_t size = Size();
    Seek(128);
    char marker[4] = {0, 0, 0, 0};
    if (ReadBytes(marker, 4) != 4 || std::memcmp(marker, "DICM", 4) != 0) {
        Clear();
        return false;
    }
    transferSyntax.clear();
    std::size_t start = 0;
    bool pastMeta = false;
    while (start < size && !pastMeta) {
        start = pos_;
        DcmTag e;
        if (!ReadTag(e, true, true))
            break;
        if (e.Is(0x0002, 0x0010) && transferSyntax.empty())
            transferSyntax = e.GetString();
        if (e.group > 0x0002)
            pastMeta = true;
    }
    Seek(start);
    return true;
}
