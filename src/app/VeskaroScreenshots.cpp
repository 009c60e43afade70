// veskaro-screenshots OUTDIR: shows the real main window and dialogs on the display (Xvfb in
// tools/screenshots.sh) and saves what the screen shows of each as a PNG file.

#include "Dicomtest.h"
#include "Qfilter.h"
#include "SetupDialog.h"
#include "SlateClassico.h"
#include "Tsselect.h"
#include "VeskaroApplication.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>

#include <cstdio>
#include <functional>

namespace {

void settle(int milliseconds = 400) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

bool shoot(QWidget* window, const QString& dir, const char* name) {
    settle();
    QScreen* screen = window->screen();
    QRect frame = window->frameGeometry();
    QPixmap shot = screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    QString file = dir + QLatin1Char('/') + QString::fromLatin1(name) + QStringLiteral(".png");
    bool ok = !shot.isNull() && shot.save(file);
    std::printf("%s %s (%dx%d)\n", ok ? "wrote" : "FAILED", qPrintable(file), shot.width(),
                shot.height());
    return ok;
}

// Runs act on the modal window named name as soon as it is shown; true once scheduled.
bool whenModal(const QString& name, std::function<void(QWidget*)> act) {
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, name, act = std::move(act)] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || modal->objectName() != name || !modal->isVisible())
            return;
        timer->stop();
        timer->deleteLater();
        act(modal);
    });
    timer->start(50);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: veskaro-screenshots OUTDIR\n", stderr);
        return 2;
    }
    VeskaroApplication app(argc, argv);
    ApplySlateClassico(app);
    QApplication::setApplicationName(QStringLiteral("Veskaro"));
    const QString out = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QDir().mkpath(out);

    // A start directory of its own, so no settings file or log lands where the script runs.
    QTemporaryDir start;
    QDir::setCurrent(start.path());

    bool ok = true;
    TForm1 window;
    window.move(40, 40);
    window.show();
    // The pane as the Dump button fills it, from a sample file when the machine has one.
    const QString sample =
        QStringLiteral("/usr/lib/python3/dist-packages/pydicom/data/test_files/CT_small.dcm");
    if (QFileInfo::exists(sample)) {
        whenModal(QStringLiteral("OpenDialog1"), [&](QWidget* dialog) {
            if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                name->setText(sample);
            static_cast<QDialog*>(dialog)->accept();
        });
        window.Dump();
    }
    ok &= shoot(&window, out, "main-window");

    QToolTip::showText(window.BitBtn4->mapToGlobal(QPoint(30, 50)), window.BitBtn4->toolTip(),
                       window.BitBtn4);
    ok &= shoot(&window, out, "main-window-tooltip");
    QToolTip::hideText();

    window.Form2->show();
    ok &= shoot(window.Form2, out, "setup-network");
    window.Form2->PageControl1->setCurrentIndex(1);
    ok &= shoot(window.Form2, out, "setup-printer");
    window.Form2->hide();

    window.Form3->show();
    window.Form3->CheckBox1->setChecked(true);
    ok &= shoot(window.Form3, out, "query-filter");
    window.Form3->hide();

    window.Form4->show();
    ok &= shoot(window.Form4, out, "transfer-syntax");
    window.Form4->hide();

    // The two message boxes come from the window's own operations, answered once shot.
    ok &= whenModal(QStringLiteral("Form3"), [&](QWidget* filter) {
        ok &= shoot(filter, out, "query-filter-activated");
        whenModal(QStringLiteral("NoFilterWarning"), [&](QWidget* box) {
            ok &= shoot(box, out, "no-filter-warning");
            static_cast<QMessageBox*>(box)->button(QMessageBox::Cancel)->click();
        });
        window.Form3->Button1->click();
    });
    window.Query();
    whenModal(QStringLiteral("AboutBox"), [&](QWidget* box) {
        ok &= shoot(box, out, "about");
        static_cast<QMessageBox*>(box)->button(QMessageBox::Ok)->click();
    });
    window.About();
    return ok ? 0 : 1;
}
