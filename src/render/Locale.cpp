#include "Locale.h"

#include <QLocale>

std::string DefaultCountryName() {
    QLocale locale;
    if (locale.territory() == QLocale::UnitedStates)
        return "United States";
    if (locale.territory() == QLocale::AnyTerritory)
        return {};
    return QLocale::territoryToString(locale.territory()).toStdString();
}
