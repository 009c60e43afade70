#include "CharacterSet.h"

#include "DcmObj.h"

#include <cerrno>
#include <memory>
#include <vector>

#include <iconv.h>

namespace {

struct IconvClose {
    void operator()(void* handle) const { iconv_close(static_cast<iconv_t>(handle)); }
};

// bytes in the iconv encoding `from` as UTF-8; false when iconv refuses any of it.
bool convert(std::string_view bytes, const char* from, const char* to, std::string& out) {
    iconv_t raw = iconv_open(to, from);
    if (raw == reinterpret_cast<iconv_t>(-1))
        return false;
    std::unique_ptr<void, IconvClose> handle(raw);
    std::vector<char> input(bytes.begin(), bytes.end());
    char* in = input.data();
    std::size_t inLeft = input.size();
    std::string result;
    char buffer[1024];
    while (inLeft > 0) {
        char* o = buffer;
        std::size_t oLeft = sizeof buffer;
        std::size_t n = iconv(raw, &in, &inLeft, &o, &oLeft);
        result.append(buffer, static_cast<std::size_t>(o - buffer));
        if (n == static_cast<std::size_t>(-1) && errno != E2BIG)
            return false;
    }
    char* o = buffer;
    std::size_t oLeft = sizeof buffer;
    if (iconv(raw, nullptr, nullptr, &o, &oLeft) == static_cast<std::size_t>(-1))
        return false;
    result.append(buffer, static_cast<std::size_t>(o - buffer));
    out += result;
    return true;
}

void latin1(std::string_view bytes, std::string& out) {
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
}

void decodeWith(std::string_view bytes, const char* from, std::string& out) {
    if (bytes.empty())
        return;
    if (!convert(bytes, from, "UTF-8", out))
        latin1(bytes, out);
}

std::string trimmedTerm(std::string_view term) {
    std::size_t begin = term.find_first_not_of(' ');
    std::size_t end = term.find_last_not_of(' ');
    return begin == std::string_view::npos ? std::string()
                                           : std::string(term.substr(begin, end - begin + 1));
}

// The iconv name of a single-byte or whole-text set, nullptr for none.
const char* iconvName(const std::string& term) {
    struct Entry {
        const char* term;
        const char* name;
    };
    static const Entry table[] = {
        {"ISO_IR 100", "ISO-8859-1"},
        {"ISO_IR 101", "ISO-8859-2"},
        {"ISO_IR 109", "ISO-8859-3"},
        {"ISO_IR 110", "ISO-8859-4"},
        {"ISO_IR 144", "ISO-8859-5"},
        {"ISO_IR 127", "ISO-8859-6"},
        {"ISO_IR 126", "ISO-8859-7"},
        {"ISO_IR 138", "ISO-8859-8"},
        {"ISO_IR 148", "ISO-8859-9"},
        {"ISO_IR 166", "TIS-620"},
        {"ISO_IR 13", "SHIFT_JIS"},
        {"ISO_IR 192", "UTF-8"},
        {"GB18030", "GB18030"},
        {"GBK", "GBK"},
        {"ISO 2022 IR 100", "ISO-8859-1"},
        {"ISO 2022 IR 101", "ISO-8859-2"},
        {"ISO 2022 IR 109", "ISO-8859-3"},
        {"ISO 2022 IR 110", "ISO-8859-4"},
        {"ISO 2022 IR 144", "ISO-8859-5"},
        {"ISO 2022 IR 127", "ISO-8859-6"},
        {"ISO 2022 IR 126", "ISO-8859-7"},
        {"ISO 2022 IR 138", "ISO-8859-8"},
        {"ISO 2022 IR 148", "ISO-8859-9"},
        {"ISO 2022 IR 166", "TIS-620"},
        {"ISO 2022 IR 13", "SHIFT_JIS"},
        {"ISO 2022 IR 149", "EUC-KR"},
        {"ISO 2022 IR 58", "GB2312"},
    };
    for (const Entry& e : table)
        if (term == e.term)
            return e.name;
    return nullptr;
}

// What the upper half (G1) or the multi-byte lower half (G0) is decoded by after an escape.
struct Designation {
    const char* escape;
    bool g1;          // designates G1 (bytes 0x80..0xFF), else G0
    const char* name; // iconv name; nullptr for ASCII
    bool iso2022jp;   // G0 multi-byte: decoded through ISO-2022-JP-2 with its escape
};

const Designation designations[] = {
    {"\x1b(B", false, nullptr, false},         // ASCII (IR 6)
    {"\x1b(J", false, nullptr, false},         // JIS X 0201 Romaji, taken as ASCII
    {"\x1b)I", true, "SHIFT_JIS", false},      // JIS X 0201 Katakana (IR 13)
    {"\x1b$B", false, "ISO-2022-JP-2", true},  // JIS X 0208 (IR 87)
    {"\x1b$(D", false, "ISO-2022-JP-2", true}, // JIS X 0212 (IR 159)
    {"\x1b$)C", true, "EUC-KR", false},        // KS X 1001 (IR 149)
    {"\x1b$)A", true, "GB2312", false},        // GB 2312 (IR 58)
    {"\x1b-A", true, "ISO-8859-1", false},     {"\x1b-B", true, "ISO-8859-2", false},
    {"\x1b-C", true, "ISO-8859-3", false},     {"\x1b-D", true, "ISO-8859-4", false},
    {"\x1b-L", true, "ISO-8859-5", false},     {"\x1b-G", true, "ISO-8859-6", false},
    {"\x1b-F", true, "ISO-8859-7", false},     {"\x1b-H", true, "ISO-8859-8", false},
    {"\x1b-M", true, "ISO-8859-9", false},     {"\x1b-T", true, "TIS-620", false},
};

// Text with code extensions: runs of bytes between escapes and delimiters, each decoded by
// what is designated at that point; the delimiters bring back the first value's sets.
std::string decodeIso2022(std::string_view bytes, const char* initialG1) {
    std::string out;
    const Designation* g0 = nullptr;
    const char* g1 = initialG1;
    std::string run;
    bool runHigh = false;
    auto flush = [&] {
        if (run.empty())
            return;
        if (runHigh)
            decodeWith(run, g1 ? g1 : "ISO-8859-1", out);
        else if (g0 && g0->iso2022jp)
            decodeWith(std::string(g0->escape) + run + "\x1b(B", g0->name, out);
        else
            latin1(run, out);
        run.clear();
    };
    for (std::size_t i = 0; i < bytes.size();) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == 0x1b) {
            const Designation* found = nullptr;
            for (const Designation& d : designations)
                if (bytes.substr(i).starts_with(d.escape))
                    found = &d;
            if (found) {
                flush();
                if (found->g1)
                    g1 = found->name;
                else
                    g0 = found;
                i += std::string_view(found->escape).size();
                continue;
            }
        }
        // In a two-byte set "^", "=" and "\\" are halves of characters, not delimiters.
        const bool twoByteG0 = g0 && g0->iso2022jp;
        bool delimiter = c == '\r' || c == '\n' || c == '\t' || c == '\f' ||
                         (!twoByteG0 && (c == '^' || c == '=' || c == '\\'));
        bool high = c >= 0x80;
        if (delimiter) {
            flush();
            out += static_cast<char>(c);
            g0 = nullptr;
            g1 = initialG1;
            ++i;
            continue;
        }
        if (high != runHigh)
            flush();
        runHigh = high;
        run += static_cast<char>(c);
        ++i;
    }
    flush();
    return out;
}

} // namespace

std::string SpecificCharacterSet(const DcmObj& dataSet) {
    return dataSet.GetString(0x0008, 0x0005);
}

bool IsUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        std::size_t follow;
        if (c < 0x80)
            follow = 0;
        else if (c >= 0xC2 && c <= 0xDF)
            follow = 1;
        else if (c >= 0xE0 && c <= 0xEF)
            follow = 2;
        else if (c >= 0xF0 && c <= 0xF4)
            follow = 3;
        else
            return false;
        if (i + follow >= text.size() && follow > 0)
            return false;
        for (std::size_t k = 1; k <= follow; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        i += follow + 1;
    }
    return true;
}

std::string DecodeText(std::string_view bytes, std::string_view characterSet) {
    bool ascii = true;
    for (unsigned char c : bytes)
        ascii = ascii && c < 0x80 && c != 0x1b;
    if (ascii)
        return std::string(bytes);
    // The first value is the set without escapes; later values are reached by escapes only.
    std::string first = trimmedTerm(characterSet.substr(0, characterSet.find('\\')));
    const bool extensions = characterSet.find("ISO 2022") != std::string_view::npos;
    std::string out;
    if (extensions)
        return decodeIso2022(bytes, first.empty() ? nullptr : iconvName(first));
    if (const char* name = first.empty() ? nullptr : iconvName(first)) {
        decodeWith(bytes, name, out);
        return out;
    }
    // The default repertoire or an unknown set: UTF-8 when the bytes are, else Latin-1.
    if (IsUtf8(bytes))
        return std::string(bytes);
    latin1(bytes, out);
    return out;
}

std::string QueryCharacterSet(std::string_view utf8) {
    bool ascii = true;
    for (unsigned char c : utf8)
        ascii = ascii && c < 0x80;
    if (ascii)
        return {};
    if (!IsUtf8(utf8))
        return "ISO_IR 100";
    std::string latin;
    return convert(utf8, "UTF-8", "ISO-8859-1", latin) ? "ISO_IR 100" : "ISO_IR 192";
}

std::string EncodeText(std::string_view utf8, std::string_view characterSet) {
    if (characterSet != "ISO_IR 100" || !IsUtf8(utf8))
        return std::string(utf8);
    std::string latin;
    return convert(utf8, "UTF-8", "ISO-8859-1", latin) ? latin : std::string(utf8);
}

namespace {

bool isTextVR(const DcmTag& tag) {
    static const char* const vrs[] = {"PN", "LO", "SH", "LT", "ST", "UT", "UC"};
    for (const char* vr : vrs)
        if (tag.IsVR(vr))
            return true;
    return false;
}

void collectText(DcmObj& dataSet, std::vector<std::unique_ptr<DcmTag>*>& tags) {
    for (DcmObj::Entry& entry : dataSet.items) {
        if (entry.tag && entry.tag->HasValue() && isTextVR(*entry.tag))
            tags.push_back(&entry.tag);
        else if (entry.obj)
            collectText(*entry.obj, tags);
    }
}

} // namespace

void DeclareQueryCharacterSet(DcmObj& identifier) {
    std::vector<std::unique_ptr<DcmTag>*> tags;
    collectText(identifier, tags);
    std::string all;
    for (const std::unique_ptr<DcmTag>* tag : tags)
        all += (*tag)->GetString();
    std::string set = QueryCharacterSet(all);
    if (set.empty())
        return;
    if (set == "ISO_IR 100") {
        for (std::unique_ptr<DcmTag>* tag : tags) {
            const DcmTag& old = **tag;
            std::string encoded = EncodeText(old.GetString(), set);
            *tag = std::make_unique<DcmTag>(old.group, old.element, encoded, old.vr);
        }
    }
    identifier.Insert(std::make_unique<DcmTag>(0x0008, 0x0005, set, "CS"), 0);
}
