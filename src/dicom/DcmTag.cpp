#include "DcmTag.h"

#include "ByteOrder.h"
#include "DataDictionary.h"
#include "FileSnapshot.h"
#include "UidTables.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>

namespace {

void copyVR(char* target, const char* source) {
    target[0] = source[0];
    target[1] = source[0] ? source[1] : 0;
    target[2] = 0;
}

} // namespace

DcmTag::DcmTag(uint16_t group, uint16_t element, uint32_t length, const void* bytes, const char* vr)
    : group(group), element(element) {
    if (vr)
        copyVR(this->vr, vr);
    else
        LookupVR();
    if (!vr && IsVR("UN") && length == UndefinedLength)
        SetVR("SQ");
    if (length == 0 || length == UndefinedLength) {
        this->length = length;
        return;
    }
    uint32_t stored = (length & 1) ? length + 1 : length;
    data = NewValueBlock(stored);
    if (bytes)
        std::memcpy(data.get(), bytes, length);
    else
        std::memset(data.get(), 0, length);
    if (stored != length)
        data[length] = IsVR("UI") ? 0 : ' ';
    this->length = stored;
}

DcmTag::DcmTag(uint16_t group, uint16_t element, uint16_t value, const char* vr)
    : group(group), element(element) {
    if (vr)
        copyVR(this->vr, vr);
    else
        LookupVR();
    length = 2;
    data = NewValueBlock(2);
    ByteOrder::Store16(data.get(), value, ByteOrder::Little);
}

DcmTag::DcmTag(uint16_t group, uint16_t element, uint32_t value, const char* vr)
    : group(group), element(element) {
    if (vr)
        copyVR(this->vr, vr);
    else
        LookupVR();
    length = 4;
    data = NewValueBlock(4);
    ByteOrder::Store32(data.get(), value, ByteOrder::Little);
}

DcmTag::DcmTag(uint16_t group, uint16_t element, const std::string& text, const char* vr)
    : DcmTag(group, element, static_cast<uint32_t>(text.size()), text.data(), vr) {}

void DcmTag::SetVR(const char* v) {
    copyVR(vr, v);
}

bool DcmTag::LoadFileValue() {
    if (!InFile())
        return true;
    std::shared_ptr<uint8_t[]> block;
    try {
        block = NewValueBlock(length);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (file->ReadAt(fileOffset, block.get(), length) != length || !file->Unchanged())
        return false;
    data = std::move(block);
    file.reset();
    return true;
}

void DcmTag::SetValue(const void* bytes, uint32_t count) {
    data.reset();
    file.reset();
    length = count;
    if (count == 0 || count == UndefinedLength)
        return;
    data = NewValueBlock(count);
    std::memcpy(data.get(), bytes, count);
}

std::string DcmTag::Key() const {
    char text[16];
    std::snprintf(text, sizeof text, "(%04X,%04X)", group, element);
    return text;
}

uint16_t DcmTag::GetUShort() const {
    if (length != 2 || !data)
        return 0;
    return ByteOrder::Load16(data.get(), bigEndian != 0);
}

uint32_t DcmTag::GetULong() const {
    if (length != 4 || !data)
        return 0;
    return ByteOrder::Load32(data.get(), bigEndian != 0);
}

std::string DcmTag::GetString() const {
    if (!HasValue())
        return {};
    const uint8_t* p = data.get();
    const void* zero = std::memchr(p, 0, length);
    std::size_t end = zero ? static_cast<const uint8_t*>(zero) - p : length;
    std::size_t begin = 0;
    while (begin < end && p[begin] <= 0x20)
        ++begin;
    while (end > begin && p[end - 1] <= 0x20)
        --end;
    return std::string(reinterpret_cast<const char*>(p) + begin, end - begin);
}

// std::from_chars rather than strtod: the window's toolkit sets the process locale from the
// environment, and a comma locale must not turn "0.5" into 0.
float TextToFloat(const std::string& text) {
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end && std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    if (p + 1 < end && *p == '+' && p[1] != '-')
        ++p;
    double value = 0;
    if (std::from_chars(p, end, value).ec != std::errc())
        return 0;
    return static_cast<float>(value);
}

float DcmTag::GetFloat() const {
    if (!HasValue())
        return 0;
    return TextToFloat(GetString());
}

float DcmTag::GetFloatAt(int index) const {
    if (!HasValue())
        return 0;
    return TextToFloat(GetField(index + 1, "\\", GetString()));
}

std::string GetField(int n, const std::string& separator, const std::string& text) {
    std::string rest = text;
    std::string field;
    for (int i = 1; i <= n; ++i) {
        std::size_t at = separator.empty() ? std::string::npos : rest.find(separator);
        if (at != std::string::npos) {
            field = rest.substr(0, at);
            rest = rest.substr(at + separator.size());
        } else {
            field = (i == n) ? rest : std::string();
            break;
        }
    }
    return field;
}

void DcmTag::LookupVR() {
    if (const DictEntry* row = FindDictEntry(group, element))
        copyVR(vr, row->vr);
    else
        copyVR(vr, "UN");
}

std::string DcmTag::GetName() {
    const DictEntry* row = FindDictEntry(group, element);
    if (!row)
        return "*** Unidentified ***";
    copyVR(vr, row->vr);
    return row->name;
}

namespace {

// Bytes per value of a numeric VR; 0 for any other VR.
uint32_t numberWidth(const char* vr) {
    const std::string_view v(vr, 2);
    if (v == "US" || v == "SS")
        return 2;
    if (v == "UL" || v == "SL" || v == "FL")
        return 4;
    return v == "FD" ? 8 : 0;
}

// One value of count bytes in the element's own byte order.
uint64_t valueAt(const uint8_t* p, uint32_t count, bool bigEndian) {
    uint64_t v = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t b = p[i];
        v |= bigEndian ? b << (8 * (count - 1 - i)) : b << (8 * i);
    }
    return v;
}

// The values of width bytes each, every one in its own byte order, laid into one 32-bit number
// low byte first: a big-endian element prints as its little-endian twin does.
uint32_t foldValues(const uint8_t* p, uint32_t length, uint32_t width, bool bigEndian) {
    uint32_t v = 0;
    for (uint32_t at = 0; at < length; at += width) {
        uint32_t count = std::min(width, length - at);
        v |= static_cast<uint32_t>(valueAt(p + at, count, bigEndian)) << (8 * at);
    }
    return v;
}

// "%5.2f" with a full stop whatever the locale, for every double: the buffer holds the integer
// digits of the largest one, and infinities and NaN print as the C library prints them.
void appendFixed(std::string& line, double value) {
    char text[std::numeric_limits<double>::max_exponent10 + 8];
    auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 2);
    if (result.ec != std::errc())
        return;
    line.append(std::max<std::ptrdiff_t>(0, 5 - (result.ptr - text)), ' ');
    line.append(text, result.ptr);
}

// FL values of 4 bytes, FD values of 8 (an FD of 4 bytes is read as one FL), separated by
// backslashes; bytes short of a whole value are not shown.
void appendFloats(std::string& line, const uint8_t* p, uint32_t length, bool doubles,
                  bool bigEndian) {
    const uint32_t width = doubles ? 8 : 4;
    for (uint32_t at = 0; at + width <= length; at += width) {
        if (at > 0)
            line += '\\';
        uint64_t bits = valueAt(p + at, width, bigEndian);
        if (doubles) {
            double d;
            std::memcpy(&d, &bits, sizeof d);
            appendFixed(line, d);
        } else {
            uint32_t narrow = static_cast<uint32_t>(bits);
            float f;
            std::memcpy(&f, &narrow, sizeof f);
            appendFixed(line, f);
        }
    }
}

} // namespace

std::string DcmTag::DumpLine(int depth) {
    std::string line;
    for (int i = 1; i < depth; ++i)
        line += "...";
    vr[2] = 0;
    // The width of one value is the VR's the element was decoded with; the name lookup below
    // may replace that VR by the dictionary's.
    const uint32_t decodedWidth = numberWidth(vr);
    std::string name = GetName();
    char head[64];
    std::snprintf(head, sizeof head, "(%04X,%04X), %2d, ", group, element,
                  static_cast<int32_t>(length));
    line += head;
    line += vr;
    line += ", ";
    line += name;
    line += ": ";
    if (IsVR("SQ") || length >= 255 || !HasValue())
        return line;

    char value[256];
    std::memcpy(value, data.get(), length);
    value[length] = 0;
    const uint32_t width = decodedWidth ? decodedWidth : numberWidth(vr);
    if (IsVR("FL") || IsVR("FD")) {
        appendFloats(line, data.get(), length, width == 8 && length != 4, bigEndian);
    } else if (IsVR("SL") || IsVR("SS") || IsVR("UL") || IsVR("US")) {
        if (length <= 4) {
            line += std::to_string(
                static_cast<int32_t>(foldValues(data.get(), length, width, bigEndian)));
        } else {
            line += "Vector!!";
        }
    } else if (IsVR("AT") && length % 4 == 0) {
        // Tags, not the bytes they are made of.
        char number[32];
        for (uint32_t i = 0; i < length; i += 4) {
            std::snprintf(number, sizeof number, "%s(%04X,%04X)", i ? "\\" : "",
                          static_cast<unsigned>(foldValues(data.get() + i, 2, 2, bigEndian)),
                          static_cast<unsigned>(foldValues(data.get() + i + 2, 2, 2, bigEndian)));
            line += number;
        }
    } else {
        line += value;
    }
    if (IsVR("UI")) {
        std::string uidName = UidName(value);
        if (!uidName.empty())
            line += " (" + uidName + ") ";
    }
    return line;
}
