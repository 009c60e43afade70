#pragma once

#include <span>
#include <string>
#include <string_view>

// Fixed UID lists. Every comparison is on the whole text: no prefix matching, no trimming of
// spaces or zero bytes (callers pass trimmed texts). All data is constant; any thread may call.

// The descriptive name shown in dumps; empty when the UID has no row.
std::string UidName(const std::string& uid);

// ECG waveform objects, drawn as chart pages rather than images.
bool IsWaveformSopClass(const std::string& uid);
// Structured reports, presentation states, ECG waveforms, key objects and encapsulated PDF:
// never converted to another transfer syntax.
bool IsNonImageSopClass(const std::string& uid);
// SOP classes whose pixel data may be converted when the accepted transfer syntax differs.
bool IsImageSopClass(const std::string& uid);
// Transfer syntaxes the conversion can read and write.
bool IsKnownTransferSyntax(const std::string& uid);

struct UidNameRow {
    std::string_view uid;
    std::string_view name;
};

// The tables behind the functions above, in their documented order, for listings and tests.
std::span<const UidNameRow> UidNameRows();
std::span<const std::string_view> WaveformSopClasses();
std::span<const std::string_view> NonImageSopClasses();
std::span<const std::string_view> ImageSopClasses();
std::span<const std::string_view> KnownTransferSyntaxes();
