#include "ExtraSettings.h"

#include <QSettings>
#include <QString>

namespace {

int portIn(const QVariant& value, int fallback) {
    bool ok = false;
    int port = value.toInt(&ok);
    return ok && port >= 0 && port <= 65535 ? port : fallback;
}

} // namespace

std::string ExtraSettingsFileName(const std::string& startDir) {
    return startDir + "veskaro-extra.cfg";
}

ExtraSettings LoadExtraSettings(const std::string& fileName) {
    ExtraSettings out;
    QSettings file(QString::fromStdString(fileName), QSettings::IniFormat);
    out.LocalPort = portIn(file.value("Network/LocalPort", out.LocalPort), out.LocalPort);
    out.MppsHost = file.value("Mpps/Host").toString().toStdString();
    out.MppsPort = file.value("Mpps/Port").toString().toStdString();
    out.MppsAETitle = file.value("Mpps/AETitle").toString().toStdString();
    bool ok = false;
    int wait = file.value("Commitment/WaitSeconds", out.CommitWaitSeconds).toInt(&ok);
    if (ok && wait > 0)
        out.CommitWaitSeconds = wait;
    return out;
}

bool SaveExtraSettings(const std::string& fileName, const ExtraSettings& s) {
    QSettings file(QString::fromStdString(fileName), QSettings::IniFormat);
    file.setValue("Network/LocalPort", s.LocalPort);
    file.setValue("Mpps/Host", QString::fromStdString(s.MppsHost));
    file.setValue("Mpps/Port", QString::fromStdString(s.MppsPort));
    file.setValue("Mpps/AETitle", QString::fromStdString(s.MppsAETitle));
    file.setValue("Commitment/WaitSeconds", s.CommitWaitSeconds);
    file.sync();
    return file.status() == QSettings::NoError;
}
