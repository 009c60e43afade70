#pragma once
// The decoded image of one data set: the attributes rendering needs and the native samples of
// all frames, colour made interleaved.
//
// Layout of `data`: frames one after another, each rows x columns samples; grey samples are one
// byte (bits allocated 8) or a 16-bit little-endian word; colour samples are R, G, B bytes.

#include "DcmObj.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One VOI LUT: entries are read as little-endian 16-bit words.
struct VoiLut {
    std::vector<uint8_t> table;
    uint16_t firstMapped = 0;
    uint16_t entries = 0;
    uint16_t bitsPerEntry = 0;

    // Bytes the LUT Data must have: one per entry for 8-bit entries, else two.
    uint32_t DataSize() const { return bitsPerEntry == 8 ? entries : 2u * entries; }
    // Takes a LUT Descriptor value (count, first mapped, bits); false unless it is 6 bytes.
    bool SetDescriptor(const DcmTag& descriptor);
};

class TImages {
public:
    std::string sopClass;
    std::string modality;
    std::string manufacturer;
    float imagerSpacing[2] = {0, 0};
    int32_t frames = 1;
    std::string photometricText;
    bool colour = false;
    bool monochrome1 = false;
    uint16_t planar = 0;
    uint16_t rows = 0;
    uint16_t columns = 0;
    uint16_t bitsAllocated = 0;
    uint16_t bitsStored = 0; // (0028,0101); narrows 16-bit colour samples to bytes
    uint16_t pixelRepresentation = 0;
    float pixelSpacing[2] = {0, 0};
    uint16_t intensitySign = 0;
    // Set for detectors whose imager spacing is known to differ from the pixel spacing.
    std::string vendorMark;
    float windowCenter = 0;
    float windowWidth = 0;
    float intercept = 0;
    float slope = 0;
    std::vector<uint8_t> data;
    std::unique_ptr<VoiLut> voiLut;
    bool hasVoiLut = false;
    int32_t lutBytes = 0;
    // Set by ApplyLut when the values it left are to be read as signed words.
    bool signedSamples = false;

    // Fills the image from a data set with native pixel data (encapsulated data stays empty); a
    // waveform object gets its drawn page as the image.
    static void Read(TImages& images, const DcmObj& dataSet);
    // Read without drawing waveform pages, for callers that only map pixel values. It lives apart
    // from Read (which draws with Qt Gui), so that a program without printing loads no Qt Gui.
    // False when an element could not be read (the rest is then left unread).
    static bool ReadAttributes(TImages& images, const DcmObj& dataSet);
    // Takes one top-level element.
    static void ReadTag(TImages& images, const DcmTag& element);
    // Maps the stored samples through the VOI LUT, else through slope and intercept.
    static void ApplyLut(TImages& images);
};

// Fills lut from the items of a nested VOI LUT Sequence; true when LUT Data of the announced
// size was found.
bool ReadLutSequence(VoiLut& lut, const DcmObj& sequence);
