#include "PaneFont.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>

bool HasEqualWidthGlyphs(const QFont& font) {
    QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(QStringLiteral("i"));
    return width > 0 && metrics.horizontalAdvance(QStringLiteral("W")) == width &&
           metrics.horizontalAdvance(QStringLiteral("0")) == width;
}

std::optional<QFont> FirstEqualWidthFont(const QStringList& families) {
    const QFont system = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    for (const QString& family : families) {
        if (!QFontDatabase::hasFamily(family))
            continue;
        QFont font(family);
        if (system.pointSizeF() > 0)
            font.setPointSizeF(system.pointSizeF());
        font.setStyleHint(QFont::TypeWriter);
        if (QFontInfo(font).family() == family && HasEqualWidthGlyphs(font))
            return font;
    }
    return std::nullopt;
}

QFont PaneFont() {
    const QStringList preferred = {QStringLiteral("DejaVu Sans Mono"),
                                   QStringLiteral("Liberation Mono"),
                                   QStringLiteral("Noto Sans Mono")};
    return FirstEqualWidthFont(preferred).value_or(
        QFontDatabase::systemFont(QFontDatabase::FixedFont));
}
