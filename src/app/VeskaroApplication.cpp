#include "VeskaroApplication.h"

#include <QMessageBox>

#include <exception>

VeskaroApplication::VeskaroApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool VeskaroApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        ShowException(error.what());
    } catch (...) {
        ShowException("unknown exception");
    }
    return false;
}

void VeskaroApplication::ShowException(const char* what) {
    QMessageBox box(QMessageBox::Critical, applicationName(), QString::fromLocal8Bit(what),
                    QMessageBox::Ok);
    box.setObjectName(QStringLiteral("ExceptionBox"));
    box.exec();
}

bool DisplayAvailable() {
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
           !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}
