#pragma once
// The output pane's font. Dump lines line up in columns only in a font whose glyphs are all of
// one width; fontconfig's spacing flag, which QFontInfo::fixedPitch reports, is missing for some
// such fonts, so the glyphs themselves are measured.

#include <QFont>
#include <QStringList>

#include <optional>

// "i", "W" and "0" advance the same distance.
bool HasEqualWidthGlyphs(const QFont& font);

// The first of families that is installed (not a substitute) and has equal-width glyphs, at
// the size of Qt's fixed system font.
std::optional<QFont> FirstEqualWidthFont(const QStringList& families);

// DejaVu Sans Mono, Liberation Mono or Noto Sans Mono, the first that qualifies, else Qt's fixed
// system font: the same choice on every machine with the same fonts.
QFont PaneFont();
