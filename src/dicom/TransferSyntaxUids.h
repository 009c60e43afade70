#pragma once
// The transfer syntax UIDs the program names anywhere: every list of them in every layer is
// built from these.

inline constexpr const char* ImplicitLittleEndian = "1.2.840.10008.1.2";
inline constexpr const char* ExplicitLittleEndian = "1.2.840.10008.1.2.1";
inline constexpr const char* ExplicitBigEndian = "1.2.840.10008.1.2.2";
inline constexpr const char* DeflatedExplicitLittleEndian = "1.2.840.10008.1.2.1.99";
inline constexpr const char* Rle = "1.2.840.10008.1.2.5";
inline constexpr const char* JpegBaseline = "1.2.840.10008.1.2.4.50";
inline constexpr const char* JpegExtended = "1.2.840.10008.1.2.4.51";
inline constexpr const char* JpegLosslessProcess14 = "1.2.840.10008.1.2.4.57";
inline constexpr const char* JpegLossless = "1.2.840.10008.1.2.4.70";
inline constexpr const char* JpegLsLossless = "1.2.840.10008.1.2.4.80";
inline constexpr const char* J2kLossless = "1.2.840.10008.1.2.4.90";
inline constexpr const char* J2kLossy = "1.2.840.10008.1.2.4.91";
inline constexpr const char* Mpeg2 = "1.2.840.10008.1.2.4.100";
inline constexpr const char* Mpeg2High = "1.2.840.10008.1.2.4.102";
