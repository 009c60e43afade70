#pragma once
// The country of the default locale, in English, as the date formatting asks for it.

#include <string>

// "United States" when the default locale's territory is the US; otherwise Qt's English name of
// the territory (empty for a locale without one, such as "C").
std::string DefaultCountryName();
