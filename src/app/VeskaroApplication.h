#pragma once
// The application object: an exception that escapes a window operation is shown in the
// toolkit's error box and the program goes on.

#include <QApplication>

class VeskaroApplication : public QApplication {
public:
    VeskaroApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // The error box for an exception that reached the outermost level.
    static void ShowException(const char* what);
};

// True when the toolkit has somewhere to show windows: a chosen platform plugin, an X display
// or a Wayland display.
bool DisplayAvailable();
