#pragma once
// One data element, its value kept exactly as encoded.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

inline constexpr uint32_t UndefinedLength = 0xFFFFFFFF;

class FileSnapshot;

class DcmTag {
public:
    uint16_t group = 0;
    uint16_t element = 0;
    char vr[3] = {0, 0, 0};
    // Number of value bytes; UndefinedLength for sequences and items of undefined length.
    uint32_t length = 0;
    // Exactly `length` bytes, or null when length is 0 or undefined. Large values read from a
    // file share the loaded file's block instead of holding a copy of their bytes.
    std::shared_ptr<uint8_t[]> data;
    // Set when the value bytes are big-endian; consulted by the numeric getters.
    uint8_t bigEndian = 0;
    // A large value read from a file for sending may stay there: data is then null and the
    // value is the `length` bytes at fileOffset of file, read when it is encoded.
    std::shared_ptr<const FileSnapshot> file;
    uint64_t fileOffset = 0;

    DcmTag() = default;
    // The value constructors pad odd lengths with a zero byte for "UI", a space otherwise.
    // A null vr takes the dictionary VR ("UN" when unknown; "UN" of undefined length is "SQ").
    DcmTag(uint16_t group, uint16_t element, uint32_t length, const void* bytes, const char* vr);
    DcmTag(uint16_t group, uint16_t element, uint16_t value, const char* vr);
    DcmTag(uint16_t group, uint16_t element, uint32_t value, const char* vr);
    DcmTag(uint16_t group, uint16_t element, const std::string& text, const char* vr);
    virtual ~DcmTag() = default;

    DcmTag(const DcmTag&) = delete;
    DcmTag& operator=(const DcmTag&) = delete;

    bool HasValue() const { return length != 0 && length != UndefinedLength && data; }
    // The value is still in its file (see `file`); HasValue() is false until it is loaded.
    bool InFile() const { return file && !data && length != 0 && length != UndefinedLength; }
    // Reads a value left in its file into data; false when the file no longer holds it all.
    bool LoadFileValue();
    bool Is(uint16_t g, uint16_t e) const { return group == g && element == e; }
    bool IsVR(const char* v) const { return vr[0] == v[0] && vr[1] == v[1]; }
    void SetVR(const char* v);
    // Replaces the value with a copy of `count` bytes (no padding).
    void SetValue(const void* bytes, uint32_t count);
    // "(GGGG,EEEE)" in uppercase hexadecimal.
    std::string Key() const;

    uint16_t GetUShort() const;
    uint32_t GetULong() const;
    // Value up to the first zero byte, stripped of leading and trailing bytes <= 0x20.
    std::string GetString() const;
    float GetFloat() const;
    // Value number `index` (from 0) of a backslash-separated list; 0 when absent.
    float GetFloatAt(int index) const;

    void LookupVR();
    // Dictionary name (also setting the dictionary VR), or "*** Unidentified ***".
    std::string GetName();
    std::string DumpLine(int depth);
};

// An uninitialised value block of count bytes.
inline std::shared_ptr<uint8_t[]> NewValueBlock(std::size_t count) {
    return std::make_shared_for_overwrite<uint8_t[]>(count);
}

// The n-th field (from 1) of text split by separator; empty when there are fewer fields.
std::string GetField(int n, const std::string& separator, const std::string& text);

// Decimal number at the start of text (leading blanks and sign allowed), rounded to single
// precision; 0 when there is none.
float TextToFloat(const std::string& text);
