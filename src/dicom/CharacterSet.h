#pragma once
// Text of data sets in their Specific Character Set (0008,0005), to and from UTF-8, through
// iconv. Values stay as encoded in the data set; decoding happens where text is shown.

#include <string>
#include <string_view>

class DcmObj;

// The value of (0008,0005) as encoded, e.g. "ISO_IR 100" or "\ISO 2022 IR 87"; empty when
// the data set has none (the default repertoire).
std::string SpecificCharacterSet(const DcmObj& dataSet);

// A text value of a data set whose Specific Character Set is characterSet, as UTF-8. Covers
// the single-byte sets (ISO_IR 6, 13, 100, 101, 109, 110, 126, 127, 138, 144, 148, 166),
// ISO_IR 192, GB18030, GBK and the ISO 2022 forms with their escape sequences (IR 6, 13, 87,
// 58, 100 to 166, 149, 159). Bytes that cannot be decoded (an unknown set, a broken
// sequence, or non-ASCII bytes under the default repertoire) are taken as Latin-1, so no byte
// is lost and the result is always valid UTF-8.
std::string DecodeText(std::string_view bytes, std::string_view characterSet);

// True when text is well-formed UTF-8.
bool IsUtf8(std::string_view text);

// For a query: the Specific Character Set to declare for UTF-8 text, and the text in it.
// Plain ASCII needs none (empty); text that fits Latin-1 goes as "ISO_IR 100", anything else
// as "ISO_IR 192". Text that is not UTF-8 is taken to be Latin-1 already.
std::string QueryCharacterSet(std::string_view utf8);
std::string EncodeText(std::string_view utf8, std::string_view characterSet);

// Adds (0008,0005) in front of a query identifier whose text values are not plain ASCII and
// re-encodes those values in the declared set; leaves an ASCII identifier as it is.
void DeclareQueryCharacterSet(DcmObj& identifier);
