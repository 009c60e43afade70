#pragma once
// A data set, or a nested sequence or item: an ordered list of elements and nested data sets.
//
// Sequences and items of defined, nonzero length are nested DcmObj entries whose itemTag carries
// the header; sequences of undefined length stay flat with their item and delimiter elements.
// After Pixel Data in a list nothing more is expanded (encapsulated fragments stay flat).

#include "DcmTag.h"
#include "TransferSyntaxUids.h"

#include <memory>
#include <string>
#include <vector>

class FileSnapshot;

// Where the large values of a data set read from a file are kept: copied into memory, or left
// in the file, to be read from it in blocks when the data set is encoded (a store streams them,
// a dump never reads them), so memory stays small whatever the file's size.
enum class FileValues { Copied, InFile };

// How DcmObj::Comp narrowed samples for a lossy target: stored = (old - offset) >> shift.
// slope and intercept are the rescale of the new samples.
struct SampleReduction {
    bool applied = false; // the sample values changed
    bool grey = true;     // false: colour samples, which carry no rescale
    int shift = 0;
    long offset = 0;
    double slope = 1.0;
    double intercept = 0.0;
};

class DcmObj {
public:
    // Exactly one of the two pointers is set.
    struct Entry {
        std::unique_ptr<DcmTag> tag;
        std::unique_ptr<DcmObj> obj;
    };

    std::vector<Entry> items;
    std::string transferSyntax = ImplicitLittleEndian;
    std::string photometric;
    uint8_t explicitVR = 0;
    uint8_t bigEndian = 0;
    DcmTag itemTag;
    // The file a data set was read from with FileValues::InFile, kept open while the data set
    // lives: encoding it fails once the file has changed since it was read.
    std::shared_ptr<const FileSnapshot> file;

    DcmObj() = default;
    virtual ~DcmObj() = default;
    DcmObj(const DcmObj&) = delete;
    DcmObj& operator=(const DcmObj&) = delete;

    int Count() const { return static_cast<int>(items.size()); }
    // "DcmTag" for an element entry, "DcmObj" for a nested data set.
    const char* ClassNameAt(int index) const;
    DcmTag* TagAt(int index) const { return items[index].tag.get(); }
    DcmObj* ObjAt(int index) const { return items[index].obj.get(); }
    // The key of an entry: its tag, or its itemTag for a nested data set.
    std::string KeyAt(int index) const;
    // The tag examined for an entry by the ordered walks: the element or the itemTag.
    const DcmTag& HeaderAt(int index) const;

    // First element entry at depth 0 with this tag; nested data sets are never returned.
    DcmTag* GetTag(uint16_t group, uint16_t element) const;
    std::string GetString(uint16_t group, uint16_t element) const;
    uint16_t GetUShort(uint16_t group, uint16_t element) const;

    void Append(std::unique_ptr<DcmTag> tag);
    void AppendObj(std::unique_ptr<DcmObj> obj);
    void Insert(std::unique_ptr<DcmTag> tag, int index);
    // Puts the element in tag order, replacing the value (not the VR) of an equal tag.
    void Add(std::unique_ptr<DcmTag> tag);
    void AddString(uint16_t group, uint16_t element, const std::string& text);
    void AddValue(uint16_t group, uint16_t element, uint32_t length, const void* bytes);
    void AddSequence(uint16_t group, uint16_t element, std::unique_ptr<DcmObj> sequence);
    // Decodes a sequence or item element of defined length into a nested data set, appended.
    bool AddNested(const DcmTag& tag);
    void Remove(int index);
    void Clear() { items.clear(); }

    void Dump(std::vector<std::string>& lines, int depth);

    // Encodes the entries into a new value block for tag; tag.length becomes the encoded size.
    static void EncodeToTag(DcmObj& nested, DcmTag& tag);

    static bool Read(DcmObj& dataSet, const std::string& fileName,
                     FileValues values = FileValues::Copied);
    static bool ReadRaw(DcmObj& dataSet, const std::string& fileName,
                        FileValues values = FileValues::Copied);
    // Reads every value still left in its file into memory, nested data sets included, before
    // the values are changed in place; false (logged) when the file no longer holds them.
    static bool LoadValues(DcmObj& dataSet);
    // Brings every number of the data set, nested ones included, into one byte order. Only
    // values not yet in that order are swapped, each into a block of its own, so a loaded
    // file's shared block is never changed. Values still in their file must be loaded first.
    static void SetByteOrder(DcmObj& dataSet, bool bigEndian);
    // False, with a log line, when Rows x Columns asks for more samples than the private stream
    // can produce; the data set is then left as it was from that element on.
    static bool UnpackPrivatePixels(DcmObj& dataSet);

    // Pixel data conversion, defined in the codec library (veskaro_codec).
    // Changes the data set in place to the target transfer syntax; true when nothing had to be
    // done or the pixel data was written in the target form. A data set whose conversion
    // returned false must not be sent.
    static bool ConvertTransferSyntax(DcmObj& dataSet, const std::string& target);
    // Writes the native samples of all frames back into the pixel data element at `index`
    // (encapsulated for the JPEG and JPEG 2000 targets, one native value otherwise). On
    // return from an encapsulating path `index` designates the sequence delimitation item.
    // False when the target is refused or a frame could not be encoded (nothing is inserted).
    // `reduction`, when given, tells how the samples were narrowed for the target.
    static bool Comp(DcmObj& dataSet, int& index, uint8_t* samples, bool colour, uint16_t columns,
                     uint16_t rows, uint16_t bitsStored, uint16_t bitsAllocated,
                     uint16_t pixelRepresentation, uint16_t planar, float slope, float intercept,
                     float& ratio, int frames, const std::string& target,
                     const std::string& modality, SampleReduction* reduction = nullptr);
    // Replaces the pixel data by its first frame mapped through the VOI LUT, when the image has
    // one, and removes the VOI LUT Sequence; returns the number of entries removed.
    static int ApplyVoiLut(DcmObj& dataSet);

    // Defined in the codec library (veskaro_codec).
    // Decodes one RLE Lossless frame into frameSize bytes of output, by the data set's
    // photometric; bitsAllocated serves only the error message. False (with a log line) when the
    // frame could not be decoded whole.
    bool RleDecodeFrame(const uint8_t* fragment, uint8_t* output, std::size_t fragmentLength,
                        std::size_t frameSize, int bitsAllocated);
    // Decodes the encapsulated pixel data after entry `index` (the pixel data element) into
    // output (totalSize bytes, frame f at f * (totalSize / frames)) and removes the offset
    // table, fragment and delimiter entries. False when the entries are not there as expected
    // or a frame does not decode; the log line names the frame and the codec.
    bool Decomp(int index, uint8_t* output, std::size_t totalSize, int frames, int bitsAllocated);

    // Nesting level of the decoder, bounded so that hostile input cannot exhaust the stack.
    static constexpr int MaxNesting = 64;
    int nestingLevel = 0;
};

// Unpacks the two-layer private CT stream into at most maxSamples 16-bit samples (low byte
// first into `samples`, which must hold maxSamples * 2 bytes); returns the samples written.
std::size_t UnpackPrivateRle(const uint8_t* bytes, std::size_t count, uint8_t* samples,
                             std::size_t maxSamples);
