#include "UidTables.h"

#include "TransferSyntaxUids.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <functional>
#include <iterator>

namespace {

// Names are kept exactly as dumps have always shown them, odd spacing included (rows 6, 44
// and 75, numbered at the line ends).
constexpr UidNameRow kUidNames[] = {
    {ImplicitLittleEndian, "Little Endian Implicit VR"},                                 // 1
    {ExplicitLittleEndian, "Little Endian Explicit VR"},                                 // 2
    {ExplicitBigEndian, "Big Endian Explicit VR"},                                       // 3
    {Rle, "RLE LossLess"},                                                               // 4
    {JpegLossless, "JPEG LossLess"},                                                     // 5
    {JpegBaseline, "JPEG BaseLine Lossy "},                                              // 6
    {JpegExtended, "JPEG Extended Lossy"},                                               // 7
    {J2kLossless, "JPEG 2000 LossLess"},                                                 // 8
    {J2kLossy, "JPEG 2000 Lossy"},                                                       // 9
    {"1.2.840.10008.1.1", "Verification"},                                               // 10
    {"1.2.840.10008.5.1.4.31", "Worklist"},                                              // 11
    {"1.2.840.10008.3.1.2.3.3", "MPPS"},                                                 // 12
    {"1.2.840.10008.5.1.4.1.2.2.1", "C-FIND"},                                           // 13
    {"1.2.840.10008.5.1.4.1.2.2.2", "C-MOVE"},                                           // 14
    {"1.2.840.10008.5.1.1.1", "Basic Film Session SOP Class"},                           // 15
    {"1.2.840.10008.5.1.1.2", "Basic Film Box SOP Class"},                               // 16
    {"1.2.840.10008.5.1.1.4", "Basic Grayscale Image Box SOP Class"},                    // 17
    {"1.2.840.10008.5.1.1.4.1", "Basic Color Image Box SOP Class"},                      // 18
    {"1.2.840.10008.5.1.1.9", "Basic Grayscale Print Management Meta SOP Class"},        // 19
    {"1.2.840.10008.5.1.1.14", "Print Job SOP Class"},                                   // 20
    {"1.2.840.10008.5.1.1.15", "Basic Annotation Box SOP Class"},                        // 21
    {"1.2.840.10008.5.1.1.16", "Printer SOP Class"},                                     // 22
    {"1.2.840.10008.5.1.1.17", "Printer SOP Instance"},                                  // 23
    {"1.2.840.10008.5.1.1.18", "Basic Color Print Management Meta SOP Class"},           // 24
    {"1.2.840.10008.5.1.1.23", "Presentation LUT SOP Class"},                            // 25
    {"1.2.840.10008.5.1.4.1.1.9.1.3", "Ambulatory ECG Waveform Storage"},                // 26
    {"1.2.840.10008.5.1.4.1.1.88.11", "Basic Text SR"},                                  // 27
    {"1.2.840.10008.5.1.4.1.1.9.4.1", "Basic Voice Audio Waveform Storage"},             // 28
    {"1.2.840.10008.5.1.4.1.1.11.4", "Blending Softcopy Presentation State Storage"},    // 29
    {"1.2.840.10008.5.1.4.1.1.9.3.1", "Cardiac Electrophysiology Waveform Storage"},     // 30
    {"1.2.840.10008.5.1.4.1.1.88.65", "Chest CAD SR"},                                   // 31
    {"1.2.840.10008.5.1.4.1.1.11.2", "Color Softcopy Presentation State Storage"},       // 32
    {"1.2.840.10008.5.1.4.1.1.88.33", "Comprehensive SR"},                               // 33
    {"1.2.840.10008.5.1.4.1.1.104.1", "Encapsulated PDF Storage"},                       // 34
    {"1.2.840.10008.5.1.4.1.1.88.22", "Enhanced SR"},                                    // 35
    {"1.2.840.10008.5.1.4.1.1.9.1.2", "General ECG Waveform Storage"},                   // 36
    {"1.2.840.10008.5.1.4.1.1.11.1", "Grayscale Softcopy Presentation State Storage"},   // 37
    {"1.2.840.10008.5.1.4.1.1.9.2.1", "Hemodynamic Waveform Storage"},                   // 38
    {"1.2.840.10008.5.1.4.1.1.88.59", "Key Object Selection Document"},                  // 39
    {"1.2.840.10008.5.1.4.1.1.88.50", "Mammography CAD SR"},                             // 40
    {"1.2.840.10008.5.1.4.1.1.4.2", "MR Spectroscopy Storage"},                          // 41
    {"1.2.840.10008.5.1.4.1.1.129", "PET Curve Storage"},                                // 42
    {"1.2.840.10008.5.1.4.1.1.88.40", "Procedure Log Storage"},                          // 43
    {"1.2.840.10008.5.1.4.1.1.11.3", "Pseudo Color Softcopy Presentation StateStorage"}, // 44
    {"1.2.840.10008.5.1.4.1.1.66", "Raw Data Storage"},                                  // 45
    {"1.2.840.10008.5.1.4.1.1.67", "Real World Value Mapping Storage"},                  // 46
    {"1.2.840.10008.5.1.4.1.1.481.4", "RT Beams Treatment Record Storage"},              // 47
    {"1.2.840.10008.5.1.4.1.1.481.6", "RT Brachy Treatment Record Storage"},             // 48
    {"1.2.840.10008.5.1.4.1.1.481.2", "RT Dose Storage"},                                // 49
    {"1.2.840.10008.5.1.4.1.1.481.5", "RT Plan Storage"},                                // 50
    {"1.2.840.10008.5.1.4.1.1.481.3", "RT Structure Set Storage"},                       // 51
    {"1.2.840.10008.5.1.4.1.1.481.7", "RT Treatment Summary Record Storage"},            // 52
    {"1.2.840.10008.5.1.4.1.1.66.2", "Spatial Fiducials Storage"},                       // 53
    {"1.2.840.10008.5.1.4.1.1.66.1", "Spatial Registration Storage"},                    // 54
    {"1.2.840.10008.5.1.4.1.1.9", "Standalone Curve Storage"},                           // 55
    {"1.2.840.10008.5.1.4.1.1.10", "Standalone Modality LUT Storage"},                   // 56
    {"1.2.840.10008.5.1.4.1.1.8", "Standalone Overlay Storage"},                         // 57
    {"1.2.840.10008.5.1.4.1.1.11", "Standalone VOI LUT Storage"},                        // 58
    {"1.2.840.10008.5.1.4.1.1.77.1.5.3", "Stereometric Relationship Storage"},           // 59
    {"1.2.840.10008.5.1.1.27", "Stored Print Storage"},                                  // 60
    {"1.2.840.10008.5.1.4.1.1.9.1.1", "Twelve Lead ECG Waveform Storage"},               // 61
    {"1.2.840.10008.5.1.4.1.1.88.67", "XRay Radiation Dose SR"},                         // 62
    {"1.2.840.10008.5.1.4.1.1.1", "CR Image Storage"},                                   // 63
    {"1.2.840.10008.5.1.4.1.1.2", "CT Image Storage"},                                   // 64
    {"1.2.840.10008.5.1.4.1.1.1.2",
     "Digital Mammography X-ray Image Storage - For Presentation"}, // 65
    {"1.2.840.10008.5.1.4.1.1.1.2.1",
     "Digital Mammography X-ray Image Storage - For Processing"}, // 66
    {"1.2.840.10008.5.1.4.1.1.1.3",
     "Digital IntraOral X-ray Image Storage - For Presentation"}, // 67
    {"1.2.840.10008.5.1.4.1.1.1.3.1",
     "Digital IntraOral X-ray Image Storage - For Processing"},                         // 68
    {"1.2.840.10008.5.1.4.1.1.1.1", "Digital X-ray Image Storage - For Presentation"},  // 69
    {"1.2.840.10008.5.1.4.1.1.1.1.1", "Digital X-ray Image Storage - For Processing"},  // 70
    {"1.2.840.10008.5.1.4.1.1.2.1", "Enhanced CT Image Storage"},                       // 71
    {"1.2.840.10008.5.1.4.1.1.4.1", "Enhanced MR Image Storage"},                       // 72
    {"1.2.840.10008.5.1.4.1.1.12.1.1", "Enhanced XA Image Storage"},                    // 73
    {"1.2.840.10008.5.1.4.1.1.12.2.1", "XRF Image Storage"},                            // 74
    {"1.2.840.10008.5.1.1.30", "Hardcopy Color Image StorageSOP Class (Retired)"},      // 75
    {"1.2.840.10008.5.1.1.29", "Hardcopy Grayscale Image Storage SOP Class (Retired)"}, // 76
    {"1.2.840.10008.5.1.4.1.1.4", "MR Image Storage"},                                  // 77
    {"1.2.840.10008.5.1.4.1.1.7.2",
     "Multi-frame Grayscale Byte Secondary Capture Image Storage"}, // 78
    {"1.2.840.10008.5.1.4.1.1.7.3",
     "Multi-frame Grayscale Word Secondary Capture Image Storage"},                            // 79
    {"1.2.840.10008.5.1.4.1.1.7.1", "Multi-frame Single Bit Secondary Capture Image Storage"}, // 80
    {"1.2.840.10008.5.1.4.1.1.7.4",
     "Multi-frame True Color Byte Secondary Capture Image Storage"},                        // 81
    {"1.2.840.10008.5.1.4.1.1.20", "Nuclear Medicine Image Storage"},                       // 82
    {"1.2.840.10008.5.1.4.1.1.77.1.5.1", "Ophthalmic Photography 8 bit Image Storage"},     // 83
    {"1.2.840.10008.5.1.4.1.1.77.1.5.2", "Ophthalmic Photography 16 bit Image Storage"},    // 84
    {"1.2.840.10008.5.1.4.1.1.128", "Positron Emission Tomography (PET) Image Storage"},    // 85
    {"1.2.840.10008.5.1.4.1.1.5", "Nuclear Medicine Image Storage (Retired)"},              // 86
    {"1.2.840.10008.5.1.4.1.1.6", "Ultrasound Image Storage (Retired)"},                    // 87
    {"1.2.840.10008.5.1.4.1.1.3", "Ultrasound Multi-frame Image Storage (Retired)"},        // 88
    {"1.2.840.10008.5.1.4.1.1.77.1", "VL Image Storage (Retired)"},                         // 89
    {"1.2.840.10008.5.1.4.1.1.77.2", "VL Multi-frame Image Storage (Retired)"},             // 90
    {"1.2.840.10008.5.1.4.1.1.12.3", "X Ray Angiographic BiPlane Image Storage (Retired)"}, // 91
    {"1.2.840.10008.5.1.4.1.1.481.1", "RT Image Storage"},                                  // 92
    {"1.2.840.10008.5.1.4.1.1.7", "Secondary Capture Image Storage"},                       // 93
    {"1.2.840.10008.5.1.4.1.1.6.1", "Ultrasound Image Storage"},                            // 94
    {"1.2.840.10008.5.1.4.1.1.3.1", "Ultrasound Multi-frame Image Storage"},                // 95
    {"1.2.840.10008.5.1.4.1.1.77.1.1.1", "Video Endoscopic Image Storage"},                 // 96
    {"1.2.840.10008.5.1.4.1.1.77.1.2.1", "Video Microscopic Image Storage"},                // 97
    {"1.2.840.10008.5.1.4.1.1.77.1.4.1", "Video Photographic Image Storage"},               // 98
    {"1.2.840.10008.5.1.4.1.1.77.1.1", "VL Video Endoscopic Image Storage"},                // 99
    {"1.2.840.10008.5.1.4.1.1.77.1.2", "VL Video Microscopic Image Storage"},               // 100
    {"1.2.840.10008.5.1.4.1.1.77.1.4", "VL Video Photographic Image Storage"},              // 101
    {"1.2.840.10008.5.1.4.1.1.12.1", "X-Ray Angiographic Image Storage"},                   // 102
    {"1.2.840.10008.5.1.4.1.1.12.2", "X-Ray Radiofluoroscopic Image Storage"},              // 103
};

// Ambulatory, twelve-lead and general ECG waveform storage.
constexpr std::string_view kWaveform[] = {
    "1.2.840.10008.5.1.4.1.1.9.1.3",
    "1.2.840.10008.5.1.4.1.1.9.1.1",
    "1.2.840.10008.5.1.4.1.1.9.1.2",
};

constexpr std::string_view kNonImage[] = {
    "1.2.840.10008.5.1.4.1.1.9.1.3", "1.2.840.10008.5.1.4.1.1.88.11",
    "1.2.840.10008.5.1.4.1.1.88.65", "1.2.840.10008.5.1.4.1.1.88.67",
    "1.2.840.10008.5.1.4.1.1.11.2",  "1.2.840.10008.5.1.4.1.1.88.33",
    "1.2.840.10008.5.1.4.1.1.104.1", "1.2.840.10008.5.1.4.1.1.88.22",
    "1.2.840.10008.5.1.4.1.1.9.1.1", "1.2.840.10008.5.1.4.1.1.9.1.2",
    "1.2.840.10008.5.1.4.1.1.11.1",  "1.2.840.10008.5.1.4.1.1.88.59",
    "1.2.840.10008.5.1.4.1.1.88.50", "1.2.840.10008.5.1.4.1.1.11.3",
};

// The two 13.1.x classes and the private class at the end (outside the standard's root) have
// no row in kUidNames.
constexpr std::string_view kImage[] = {
    "1.2.840.10008.5.1.4.1.1.1",        "1.2.840.10008.5.1.4.1.1.2",
    "1.2.840.10008.5.1.4.1.1.1.2",      "1.2.840.10008.5.1.4.1.1.1.2.1",
    "1.2.840.10008.5.1.4.1.1.1.3",      "1.2.840.10008.5.1.4.1.1.1.3.1",
    "1.2.840.10008.5.1.4.1.1.1.1",      "1.2.840.10008.5.1.4.1.1.1.1.1",
    "1.2.840.10008.5.1.4.1.1.2.1",      "1.2.840.10008.5.1.4.1.1.4.1",
    "1.2.840.10008.5.1.4.1.1.12.1.1",   "1.2.840.10008.5.1.4.1.1.12.2.1",
    "1.2.840.10008.5.1.1.30",           "1.2.840.10008.5.1.1.29",
    "1.2.840.10008.5.1.4.1.1.4",        "1.2.840.10008.5.1.4.1.1.7.2",
    "1.2.840.10008.5.1.4.1.1.7.3",      "1.2.840.10008.5.1.4.1.1.7.1",
    "1.2.840.10008.5.1.4.1.1.7.4",      "1.2.840.10008.5.1.4.1.1.20",
    "1.2.840.10008.5.1.4.1.1.77.1.5.1", "1.2.840.10008.5.1.4.1.1.77.1.5.2",
    "1.2.840.10008.5.1.4.1.1.128",      "1.2.840.10008.5.1.4.1.1.5",
    "1.2.840.10008.5.1.4.1.1.6",        "1.2.840.10008.5.1.4.1.1.3",
    "1.2.840.10008.5.1.4.1.1.77.1",     "1.2.840.10008.5.1.4.1.1.77.2",
    "1.2.840.10008.5.1.4.1.1.12.3",     "1.2.840.10008.5.1.4.1.1.481.1",
    "1.2.840.10008.5.1.4.1.1.7",        "1.2.840.10008.5.1.4.1.1.6.1",
    "1.2.840.10008.5.1.4.1.1.3.1",      "1.2.840.10008.5.1.4.1.1.77.1.1",
    "1.2.840.10008.5.1.4.1.1.77.1.2",   "1.2.840.10008.5.1.4.1.1.77.1.4",
    "1.2.840.10008.5.1.4.1.1.13.1.2",   "1.2.840.10008.5.1.4.1.1.12.1",
    "1.2.840.10008.5.1.4.1.1.12.2",     "1.2.840.10008.5.1.4.1.1.13.1.3",
    "1.2.392.200036.9125.1.1.2",
};

// JPEG lossless process 14 (.57) and MPEG-2 (.100) have no row in kUidNames.
constexpr std::string_view kTransferSyntax[] = {
    ImplicitLittleEndian,
    ExplicitLittleEndian,
    ExplicitBigEndian,
    Rle,
    JpegLossless,
    JpegBaseline,
    JpegExtended,
    JpegLosslessProcess14,
    J2kLossless,
    J2kLossy,
    Mpeg2,
};

// Sorted copies built at compile time, so lookups are binary searches over constant data with
// no run-time initialisation.
template <typename T, std::size_t N, typename Key>
constexpr std::array<T, N> sortedBy(const T (&rows)[N], Key key) {
    std::array<T, N> sorted{};
    std::copy(std::begin(rows), std::end(rows), sorted.begin());
    std::ranges::sort(sorted, {}, key);
    return sorted;
}

template <std::size_t N> constexpr bool unique(const std::array<std::string_view, N>& sorted) {
    return std::ranges::adjacent_find(sorted) == sorted.end();
}

constexpr auto kUidNamesSorted = sortedBy(kUidNames, &UidNameRow::uid);
constexpr auto kWaveformSorted = sortedBy(kWaveform, std::identity{});
constexpr auto kNonImageSorted = sortedBy(kNonImage, std::identity{});
constexpr auto kImageSorted = sortedBy(kImage, std::identity{});
constexpr auto kTransferSyntaxSorted = sortedBy(kTransferSyntax, std::identity{});

static_assert(std::ranges::adjacent_find(kUidNamesSorted, {}, &UidNameRow::uid) ==
              kUidNamesSorted.end());
static_assert(unique(kWaveformSorted) && unique(kNonImageSorted) && unique(kImageSorted) &&
              unique(kTransferSyntaxSorted));

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& sorted, const std::string& uid) {
    return std::ranges::binary_search(sorted, std::string_view(uid));
}

} // namespace

std::string UidName(const std::string& uid) {
    const auto found =
        std::ranges::lower_bound(kUidNamesSorted, std::string_view(uid), {}, &UidNameRow::uid);
    if (found == kUidNamesSorted.end() || found->uid != uid) {
        return {};
    }
    return std::string(found->name);
}

bool IsWaveformSopClass(const std::string& uid) {
    return contains(kWaveformSorted, uid);
}
bool IsNonImageSopClass(const std::string& uid) {
    return contains(kNonImageSorted, uid);
}
bool IsImageSopClass(const std::string& uid) {
    return contains(kImageSorted, uid);
}
bool IsKnownTransferSyntax(const std::string& uid) {
    return contains(kTransferSyntaxSorted, uid);
}

std::span<const UidNameRow> UidNameRows() {
    return kUidNames;
}
std::span<const std::string_view> WaveformSopClasses() {
    return kWaveform;
}
std::span<const std::string_view> NonImageSopClasses() {
    return kNonImage;
}
std::span<const std::string_view> ImageSopClasses() {
    return kImage;
}
std::span<const std::string_view> KnownTransferSyntaxes() {
    return kTransferSyntax;
}
