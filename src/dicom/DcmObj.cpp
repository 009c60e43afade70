#include "DcmObj.h"

#include "BufData.h"
#include "CharacterSet.h"
#include "Log.h"

#include <cstring>

namespace {

bool isUndefinedSequence(const DcmTag& e) {
    return e.IsVR("SQ") && e.length == UndefinedLength;
}

bool isUndefinedItem(const DcmTag& e) {
    return e.Is(0xFFFE, 0xE000) && e.length == UndefinedLength;
}

// Width of the numbers a VR holds, for byte order changes; 0 for bytes and texts. AT is a pair
// of 16-bit numbers.
int numberWidth(const DcmTag& e) {
    static constexpr struct {
        const char* vr;
        int width;
    } widths[] = {{"OW", 2}, {"US", 2}, {"SS", 2}, {"AT", 2}, {"UL", 4}, {"SL", 4}, {"FL", 4},
                  {"OL", 4}, {"OF", 4}, {"FD", 8}, {"OD", 8}, {"OV", 8}, {"SV", 8}, {"UV", 8}};
    for (const auto& w : widths)
        if (e.IsVR(w.vr))
            return w.width;
    return 0;
}

} // namespace

const char* DcmObj::ClassNameAt(int index) const {
    return items[index].obj ? "DcmObj" : "DcmTag";
}

const DcmTag& DcmObj::HeaderAt(int index) const {
    const Entry& entry = items[index];
    return entry.obj ? entry.obj->itemTag : *entry.tag;
}

std::string DcmObj::KeyAt(int index) const {
    return HeaderAt(index).Key();
}

DcmTag* DcmObj::GetTag(uint16_t group, uint16_t element) const {
    int depth = 0;
    for (const Entry& entry : items) {
        if (!entry.tag)
            continue;
        const DcmTag& e = *entry.tag;
        if (isUndefinedSequence(e))
            ++depth;
        if (depth == 0 && e.group == group && e.element == element)
            return entry.tag.get();
        if (e.Is(0xFFFE, 0xE0DD))
            --depth;
    }
    return nullptr;
}

std::string DcmObj::GetString(uint16_t group, uint16_t element) const {
    const DcmTag* e = GetTag(group, element);
    return e ? e->GetString() : std::string();
}

uint16_t DcmObj::GetUShort(uint16_t group, uint16_t element) const {
    const DcmTag* e = GetTag(group, element);
    return e ? e->GetUShort() : 0;
}

void DcmObj::Append(std::unique_ptr<DcmTag> tag) {
    items.push_back(Entry{std::move(tag), nullptr});
}

void DcmObj::AppendObj(std::unique_ptr<DcmObj> obj) {
    items.push_back(Entry{nullptr, std::move(obj)});
}

void DcmObj::Insert(std::unique_ptr<DcmTag> tag, int index) {
    items.insert(items.begin() + index, Entry{std::move(tag), nullptr});
}

void DcmObj::Add(std::unique_ptr<DcmTag> n) {
    int depth = 0;
    bool inPixelData = false;
    // Group length bookkeeping: a (gggg,0000) of N's group at depth 0 outside pixel data.
    int groupLengthIndex = -1;
    uint32_t groupLengthValue = 0;
    auto adjustGroupLength = [&](uint32_t valueLength) {
        if (groupLengthIndex <= 0 || groupLengthValue == 0)
            return;
        uint32_t v = groupLengthValue + 8 + valueLength;
        std::memcpy(items[groupLengthIndex].tag->data.get(), &v, 4);
    };

    for (int i = 0; i < Count(); ++i) {
        const DcmTag& e = HeaderAt(i);
        if (isUndefinedSequence(e) || isUndefinedItem(e))
            ++depth;
        if (e.Is(0x7FE0, 0x0010) && e.length == UndefinedLength)
            inPixelData = true;
        if (depth == 0 && !inPixelData) {
            if (items[i].tag && e.group == n->group && e.element == 0 && e.length == 4 && e.data) {
                groupLengthIndex = i;
                std::memcpy(&groupLengthValue, e.data.get(), 4);
            }
            if (e.group == n->group && e.element == n->element) {
                DcmTag& target = items[i].obj ? items[i].obj->itemTag : *items[i].tag;
                target.data.reset();
                target.length = n->length;
                target.file = std::move(n->file);
                target.fileOffset = n->fileOffset;
                if (n->HasValue())
                    target.data = std::move(n->data);
                adjustGroupLength(n->length);
                return;
            }
            if ((e.group == n->group && n->element < e.element) || n->group < e.group) {
                uint32_t displaced = HeaderAt(i).length;
                Insert(std::move(n), i);
                adjustGroupLength(displaced);
                return;
            }
        }
        if (e.Is(0xFFFE, 0xE00D) || e.Is(0xFFFE, 0xE0DD))
            --depth;
        if (e.Is(0xFFFE, 0xE0DD) && inPixelData)
            inPixelData = false;
    }
    uint32_t last = Count() > 0 ? HeaderAt(Count() - 1).length : 0;
    Append(std::move(n));
    adjustGroupLength(last);
}

void DcmObj::AddString(uint16_t group, uint16_t element, const std::string& text) {
    Add(std::make_unique<DcmTag>(group, element, text, nullptr));
}

void DcmObj::AddValue(uint16_t group, uint16_t element, uint32_t length, const void* bytes) {
    Add(std::make_unique<DcmTag>(group, element, length, bytes, nullptr));
}

void DcmObj::AddSequence(uint16_t group, uint16_t element, std::unique_ptr<DcmObj> sequence) {
    sequence->explicitVR = explicitVR;
    sequence->itemTag.group = group;
    sequence->itemTag.element = element;
    if (group != 0xFFFE && element != 0xE000)
        sequence->itemTag.SetVR("SQ");
    bool inSequence = false;
    for (int i = 0; i < Count(); ++i) {
        const DcmTag& e = HeaderAt(i);
        if (isUndefinedSequence(e))
            inSequence = true;
        if (!inSequence && ((e.group == group && element < e.element) || group < e.group)) {
            items.insert(items.begin() + i, Entry{nullptr, std::move(sequence)});
            return;
        }
        if (e.Is(0xFFFE, 0xE0DD))
            inSequence = false;
    }
    AppendObj(std::move(sequence));
}

bool DcmObj::AddNested(const DcmTag& tag) {
    auto n = std::make_unique<DcmObj>();
    n->explicitVR = explicitVR;
    n->bigEndian = bigEndian;
    n->nestingLevel = nestingLevel + 1;
    if (n->nestingLevel > MaxNesting) {
        // A sequence and each of its items are one data set each: two levels per sequence.
        LogMessage("ERROR, DcmObj::AddNested, data set nested deeper than " +
                   std::to_string(MaxNesting / 2) + " sequence levels");
        return false;
    }
    if (!Expand_SQ(*n, tag))
        return false;
    n->itemTag.group = tag.group;
    n->itemTag.element = tag.element;
    n->itemTag.length = tag.length;
    if (tag.group != 0xFFFE && tag.element != 0xE000)
        n->itemTag.SetVR("SQ");
    AppendObj(std::move(n));
    return true;
}

void DcmObj::Remove(int index) {
    items.erase(items.begin() + index);
}

namespace {

bool isTextVR(const DcmTag& tag) {
    static const char* const vrs[] = {"PN", "LO", "SH", "LT", "ST", "UT", "UC"};
    for (const char* vr : vrs)
        if (tag.IsVR(vr))
            return true;
    return false;
}

// Lines are UTF-8: text values in the data set's character set, any other byte above 127
// (a short binary value) as Latin-1.
void dumpDecoded(DcmObj& dataSet, std::vector<std::string>& lines, int depth,
                 const std::string& inherited) {
    std::string own = SpecificCharacterSet(dataSet);
    const std::string& characterSet = own.empty() ? inherited : own;
    for (int i = 0; i < dataSet.Count(); ++i) {
        if (DcmTag* tag = dataSet.TagAt(i)) {
            if (tag->group == 0)
                tag->LookupVR();
            lines.push_back(
                DecodeText(tag->DumpLine(depth), isTextVR(*tag) ? characterSet : "ISO_IR 100"));
        } else {
            DcmObj& nested = *dataSet.ObjAt(i);
            lines.push_back(nested.itemTag.DumpLine(depth));
            dumpDecoded(nested, lines, depth + 1, characterSet);
        }
    }
}

} // namespace

void DcmObj::Dump(std::vector<std::string>& lines, int depth) {
    dumpDecoded(*this, lines, depth, std::string());
}

void DcmObj::EncodeToTag(DcmObj& nested, DcmTag& tag) {
    BufData buf(nested.bigEndian);
    for (Entry& entry : nested.items) {
        if (entry.tag) {
            buf.WriteTag(*entry.tag, nested.explicitVR);
        } else {
            DcmObj& m = *entry.obj;
            m.explicitVR = nested.explicitVR;
            m.bigEndian = nested.bigEndian;
            EncodeToTag(m, m.itemTag);
            buf.WriteTag(m.itemTag, nested.explicitVR);
            m.itemTag.data.reset();
        }
    }
    tag.data.reset();
    tag.length = static_cast<uint32_t>(buf.Size());
    if (tag.length != 0) {
        std::vector<uint8_t> bytes = buf.TakeBytes();
        tag.data = NewValueBlock(bytes.size());
        std::memcpy(tag.data.get(), bytes.data(), bytes.size());
    }
}

void DcmObj::SetByteOrder(DcmObj& set, bool big) {
    set.bigEndian = big ? 1 : 0;
    set.itemTag.bigEndian = big ? 1 : 0;
    for (DcmObj::Entry& entry : set.items) {
        if (entry.obj) {
            SetByteOrder(*entry.obj, big);
            continue;
        }
        DcmTag& e = *entry.tag;
        if (e.bigEndian == (big ? 1 : 0))
            continue;
        e.bigEndian = big ? 1 : 0;
        const int width = numberWidth(e);
        if (width == 0 || e.group == 0xFFFE || !e.HasValue())
            continue;
        auto copy = NewValueBlock(e.length);
        const uint8_t* from = e.data.get();
        uint8_t* to = copy.get();
        const uint32_t whole = e.length - e.length % width;
        for (uint32_t i = 0; i < whole; i += width)
            for (int b = 0; b < width; ++b)
                to[i + b] = from[i + width - 1 - b];
        std::memcpy(to + whole, from + whole, e.length - whole);
        e.data = std::move(copy);
    }
}
