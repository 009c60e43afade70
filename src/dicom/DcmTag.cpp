#include "DcmTag.h"

#include "DataDictionary.h"
#include "UidTables.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    data[0] = value & 0xFF;
    data[1] = value >> 8;
}

DcmTag::DcmTag(uint16_t group, uint16_t element, uint32_t value, const char* vr)
    : group(group), element(element) {
    if (vr)
        copyVR(this->vr, vr);
    else
        LookupVR();
    length = 4;
    data = NewValueBlock(4);
    for (int i = 0; i < 4; ++i)
        data[i] = (value >> (8 * i)) & 0xFF;
}

DcmTag::DcmTag(uint16_t group, uint16_t element, const std::string& text, const char* vr)
    : DcmTag(group, element, static_cast<uint32_t>(text.size()), text.data(), vr) {}

void DcmTag::SetVR(const char* v) {
    copyVR(vr, v);
}

void DcmTag::SetValue(const void* bytes, uint32_t count) {
    data.reset();
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
    if (bigEndian)
        return static_cast<uint16_t>(data[0] << 8 | data[1]);
    return static_cast<uint16_t>(data[1] << 8 | data[0]);
}

uint32_t DcmTag::GetULong() const {
    if (length != 4 || !data)
        return 0;
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<uint32_t>(data[bigEndian ? i : 3 - i]) << (8 * (3 - i));
    return v;
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

// Numbers in a dump follow the element's own byte order.
uint32_t foldBytes(const uint8_t* p, uint32_t count, bool bigEndian) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t b = p[i];
        v |= bigEndian ? b << (8 * (count - 1 - i)) : b << (8 * i);
    }
    return v;
}

} // namespace

std::string DcmTag::DumpLine(int depth) {
    std::string line;
    for (int i = 1; i < depth; ++i)
        line += "...";
    vr[2] = 0;
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
    char number[32];
    if ((IsVR("FL") || IsVR("FD")) && length == 4) {
        uint32_t bits = foldBytes(data.get(), 4, bigEndian);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        // "%5.2f" with a full stop whatever the locale.
        char* last =
            std::to_chars(number, number + sizeof number, f, std::chars_format::fixed, 2).ptr;
        line.append(std::max<std::ptrdiff_t>(0, 5 - (last - number)), ' ');
        line.append(number, last);
    } else if (IsVR("SL") || IsVR("SS") || IsVR("UL") || IsVR("US")) {
        if (length <= 4) {
            std::snprintf(number, sizeof number, "%d",
                          static_cast<int32_t>(foldBytes(data.get(), length, bigEndian)));
            line += number;
        } else {
            line += "Vector!!";
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
