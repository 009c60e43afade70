#pragma once
// Shared by the window tests: one QApplication for the program (offscreen unless the caller
// chose a platform), the current directory for the length of a test, answers to modal
// windows, and the pane's lines.

#include "Dicomtest.h"
#include "JobLines.h"
#include "SlateClassico.h"
#include "VeskaroApplication.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace guitest {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        app_ = std::make_unique<VeskaroApplication>(argc_, argv_);
        ApplySlateClassico(*app_);
        QApplication::setApplicationName(QStringLiteral("Veskaro"));
    }
    void TearDown() override {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        app_.reset();
    }

private:
    int argc_ = 1;
    char name_[10] = "gui_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<VeskaroApplication> app_;
};

// gtest owns the environment.
inline ::testing::Environment* const qtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// Makes dir the current directory and restores the previous one at the end of the scope.
class InDirectory {
public:
    explicit InDirectory(const std::filesystem::path& dir) : previous_(QDir::currentPath()) {
        QDir::setCurrent(QString::fromStdString(dir.string()));
    }
    ~InDirectory() { QDir::setCurrent(previous_); }
    InDirectory(const InDirectory&) = delete;
    InDirectory& operator=(const InDirectory&) = delete;

private:
    QString previous_;
};

// Answers the modal windows a window operation opens, in the order they are expected: each
// answer runs on the first visible modal window with the expected object name. A modal that
// is not expected, or that waits past the patience, is closed so that no test hangs; both
// count as failures in Unanswered().
class ModalAnswers {
public:
    using Answer = std::function<void(QWidget*)>;

    ModalAnswers() {
        QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
        timer_.start(20);
    }
    ~ModalAnswers() { EXPECT_EQ(pending_.size(), 0u) << "modal windows that never came"; }

    ModalAnswers& Then(const QString& name, Answer answer) {
        pending_.push_back({name, std::move(answer)});
        return *this;
    }
    int Unexpected() const { return unexpected_; }

private:
    void poll() {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible()) {
            waited_ = 0;
            return;
        }
        if (!pending_.empty() && modal->objectName() == pending_.front().first) {
            Answer answer = std::move(pending_.front().second);
            pending_.pop_front();
            waited_ = 0;
            answer(modal);
            return;
        }
        if (++waited_ * 20 > 5000) {
            ADD_FAILURE() << "unexpected modal window " << modal->objectName().toStdString();
            ++unexpected_;
            waited_ = 0;
            modal->close();
        }
    }

    QTimer timer_;
    std::deque<std::pair<QString, Answer>> pending_;
    int waited_ = 0;
    int unexpected_ = 0;
};

// Answers for the file dialog.
inline ModalAnswers::Answer ChooseFile(const std::filesystem::path& file) {
    return [file](QWidget* widget) {
        auto* dialog = qobject_cast<QFileDialog*>(widget);
        ASSERT_NE(dialog, nullptr);
        // As a user types a full path into the name field and presses Open.
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(name, nullptr);
        name->setText(QString::fromStdString(file.string()));
        static_cast<QDialog*>(dialog)->accept(); // public in QDialog
    };
}
inline ModalAnswers::Answer Reject() {
    return [](QWidget* widget) { widget->close(); };
}
inline ModalAnswers::Answer Accept() {
    return [](QWidget* widget) {
        if (auto* dialog = qobject_cast<QDialog*>(widget))
            static_cast<QDialog*>(dialog)->accept(); // public in QDialog
    };
}

inline QStringList PaneLines(const TForm1& window) {
    QString text = window.Memo1->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

// The pane's lines without the jobs' block headers ("--- ECHO 14:03:22 ---"), the lines that
// say what a succeeded job did, and the running jobs' status lines: what the jobs wrote.
inline QStringList ResultLines(const TForm1& window) {
    QStringList kept;
    static const QRegularExpression status(
        QStringLiteral("^(ECHO|STORE|FIND|WORKLIST|PRINT): [a-z ]+, [0-9]+\\.[0-9] s"));
    for (const QString& line : PaneLines(window))
        if (!line.startsWith(QStringLiteral("--- ")) &&
            !testsupport::isDoneLine(line.toStdString()) && !status.match(line).hasMatch())
            kept << line;
    return kept;
}

// The headers of the pane's blocks, the start time cut off: "--- ECHO".
inline QStringList BlockHeaders(const TForm1& window) {
    QStringList headers;
    for (const QString& line : PaneLines(window))
        if (line.startsWith(QStringLiteral("--- ")))
            headers << line.section(QLatin1Char(' '), 0, 1);
    return headers;
}

// Turns the event loop until done() holds or the time is up.
inline bool WaitFor(const std::function<bool()>& done, int milliseconds = 10000) {
    return QTest::qWaitFor(done, milliseconds);
}

// Lets the window's jobs end and be deleted before the window goes.
inline bool JobsEnded(int milliseconds = 20000) {
    bool ended = WaitFor([] { return TForm1::RunningJobs() == 0; }, milliseconds);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return ended;
}

} // namespace guitest
