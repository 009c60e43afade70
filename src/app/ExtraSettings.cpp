#include "ExtraSettings.h"

#include <QSettings>
#include <QString>

namespace {

int portIn(const QVariant& value, int fallback) {
    bool ok = false;
    int port = value.toInt(&ok);
    return ok && port >= 0 && port <= 65535 ? port : fallback;
}

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
    s.LocalPort = portIn(file.value("Network/LocalPort", s.LocalPort), s.LocalPort);
    s.MppsHost = text(file, "Mpps/Host");
    s.MppsPort = text(file, "Mpps/Port");
    s.MppsAETitle = text(file, "Mpps/AETitle");
    bool ok = false;
    int wait = file.value("Commitment/WaitSeconds", s.CommitWaitSeconds).toInt(&ok);
    if (ok && wait > 0)
        s.CommitWaitSeconds = wait;
    return s;
}

bool SaveExtraSettings(const std::string& fileName, const ExtraSettings& s) {
    QSettings file(q(fileName), QSettings::IniFormat);
    file.setValue(QStringLiteral("tls/ca_file"), q(s.TlsCaFile));
    file.setValue(QStringLiteral("tls/cert_file"), q(s.TlsCertificateFile));
    file.setValue(QStringLiteral("tls/key_file"), q(s.TlsKeyFile));
    file.setValue(QStringLiteral("tls/accept_any"), s.TlsAcceptAnyServer);
    file.setValue(QStringLiteral("tls/pin_tls12"), s.TlsPin12);
    file.setValue("Network/LocalPort", s.LocalPort);
    file.setValue("Mpps/Host", q(s.MppsHost));
    file.setValue("Mpps/Port", q(s.MppsPort));
    file.setValue("Mpps/AETitle", q(s.MppsAETitle));
    file.setValue("Commitment/WaitSeconds", s.CommitWaitSeconds);
    file.sync();
    return file.status() == QSettings::NoError;
}
