#pragma once
// The compressed transfer syntaxes the codecs tell apart. The uncompressed ones are in DcmObj.h.

inline constexpr const char* Rle = "1.2.840.10008.1.2.5";
inline constexpr const char* JpegBaseline = "1.2.840.10008.1.2.4.50";
inline constexpr const char* JpegExtended = "1.2.840.10008.1.2.4.51";
inline constexpr const char* JpegLosslessProcess14 = "1.2.840.10008.1.2.4.57";
inline constexpr const char* JpegLossless = "1.2.840.10008.1.2.4.70";
inline constexpr const char* J2kLossless = "1.2.840.10008.1.2.4.90";
inline constexpr const char* J2kLossy = "1.2.840.10008.1.2.4.91";
inline constexpr const char* Mpeg2 = "1.2.840.10008.1.2.4.100";
inline constexpr const char* Mpeg2High = "1.2.840.10008.1.2.4.102";
