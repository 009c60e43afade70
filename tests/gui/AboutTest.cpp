#include "FileVersion.h"
#include "GuiTestSupport.h"
#include "TestSupport.h"

#include <QMessageBox>
#include <QToolButton>

#include <stdexcept>

using guitest::InDirectory;
using guitest::ModalAnswers;
using testsupport::TempDir;

TEST(About, TextWithAndWithoutAVersion) {
    EXPECT_EQ(AboutText("1.2.3"), "Veskaro V1.2.3\n\rDICOM SCU for many services");
    EXPECT_EQ(AboutText(""), "Veskaro V\n\rDICOM SCU for many services");
}

TEST(About, OnlyTheRunningProgramHasAVersion) {
    const std::string self = RunningProgramPath();
    ASSERT_FALSE(self.empty());
    EXPECT_EQ(FileVersionText(self), VESKARO_VERSION_TEXT);
    EXPECT_EQ(FileVersionText(VESKARO_CLI), "");
    EXPECT_EQ(FileVersionText("/no/such/file"), "");
    EXPECT_EQ(FileVersionText(""), "");
}

TEST(About, BoxShowsTheTextWithTheProgramsVersion) {
    TempDir dir;
    InDirectory in(dir.path());
    TForm1 window;
    QString text, caption;
    {
        ModalAnswers answers;
        answers.Then("AboutBox", [&](QWidget* w) {
            auto& box = *static_cast<QMessageBox*>(w);
            text = box.text();
            caption = box.windowTitle();
            box.button(QMessageBox::Ok)->click();
        });
        window.BitBtn3->click();
    }
    EXPECT_EQ(text.toStdString(), AboutText(FileVersionText(RunningProgramPath())));
    EXPECT_TRUE(text.startsWith("Veskaro V" VESKARO_VERSION_TEXT "\n\r"));
    EXPECT_EQ(caption, "Veskaro");
}

namespace {

// Throws from its event handler, as a window operation with a bug would.
class Thrower : public QObject {
public:
    bool event(QEvent* event) override {
        if (event->type() == QEvent::User)
            throw std::runtime_error("operation failed: no such entry");
        return QObject::event(event);
    }
};

} // namespace

TEST(Application, ExceptionFromAnOperationIsShownAndTheProgramGoesOn) {
    Thrower thrower;
    QString text;
    {
        ModalAnswers answers;
        answers.Then("ExceptionBox", [&](QWidget* w) {
            auto& box = *static_cast<QMessageBox*>(w);
            text = box.text();
            EXPECT_EQ(box.icon(), QMessageBox::Critical);
            box.button(QMessageBox::Ok)->click();
        });
        QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
        EXPECT_TRUE(guitest::WaitFor([&] { return !text.isEmpty(); }));
    }
    EXPECT_EQ(text, "operation failed: no such entry");
    // The event loop still runs.
    bool later = false;
    QTimer::singleShot(0, [&] { later = true; });
    EXPECT_TRUE(guitest::WaitFor([&] { return later; }));
}
