// veskaro: the main window.

#include "AppState.h"
#include "Dicomtest.h"
#include "JobBodies.h"
#include "SlateClassico.h"
#include "VeskaroApplication.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <exception>

int main(int argc, char** argv) {
    if (CurrentStartDirectory().empty()) {
        std::fputs(StartDirectoryGoneText("veskaro").c_str(), stderr);
        return 2;
    }
    if (!DisplayAvailable()) {
        std::fputs("veskaro: no display available (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                   "veskaro-cli runs the same jobs and the dump from a terminal; "
                   "see 'veskaro-cli help'.\n",
                   stderr);
        return 1;
    }
    VeskaroApplication app(argc, argv);
    // Qt takes the locale from the environment; numbers in DICOM values and log lines always
    // use a full stop.
    std::setlocale(LC_NUMERIC, "C");
    ApplySlateClassico(app);
    QApplication::setApplicationName(QStringLiteral("Veskaro"));
    RegisterServiceJobBodies(DefaultJobBodies());

    int status = 1;
    try {
        TForm1 window;
        window.show();
        status = app.exec();
        // Running jobs still hold the process-wide log and their sockets; ending the program
        // ends them, as closing the window always has, without tearing down under their feet.
        if (TForm1::RunningJobs() > 0) {
            std::fflush(nullptr);
            std::_Exit(status);
        }
    } catch (const std::exception& error) {
        VeskaroApplication::ShowException(error.what());
    } catch (...) {
        VeskaroApplication::ShowException("unknown exception");
    }
    return status;
}
