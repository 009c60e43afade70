#include "ExtraSettings.h"

#include <QSettings>
#include <QString>

namespace {

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

std::string text(const QSettings& file, const char* key) {
    return file.value(QLatin1String(key)).toString().toStdString();
}

} // namespace

std::string ExtraSettingsFileName(const std::string& startDir) {
    return startDir + "veskaro-extra.cfg";
}

ExtraSettings LoadExtraSettings(const std::string& fileName) {
    ExtraSettings s;
    QSettings file(q(fileName), QSettings::IniFormat);
    s.TlsCaFile = text(file, "tls/ca_file");
    s.TlsCertificateFile = text(file, "tls/cert_file");
    s.TlsKeyFile = text(file, "tls/key_file");
    s.TlsAcceptAnyServer = file.value(QStringLiteral("tls/accept_any"), false).toBool();
    s.TlsPin12 = file.value(QStringLiteral("tls/pin_tls12"), false).toBool();
    return s;
}

bool SaveExtraSettings(const std::string& fileName, const ExtraSettings& s) {
    QSettings file(q(fileName), QSettings::IniFormat);
    file.setValue(QStringLiteral("tls/ca_file"), q(s.TlsCaFile));
    file.setValue(QStringLiteral("tls/cert_file"), q(s.TlsCertificateFile));
    file.setValue(QStringLiteral("tls/key_file"), q(s.TlsKeyFile));
    file.setValue(QStringLiteral("tls/accept_any"), s.TlsAcceptAnyServer);
    file.setValue(QStringLiteral("tls/pin_tls12"), s.TlsPin12);
    file.sync();
    return file.status() == QSettings::NoError;
}
