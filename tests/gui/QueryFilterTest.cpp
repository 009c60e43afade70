#include "../app/AppTestHelpers.h"
#include "GuiTestSupport.h"
#include "Qfilter.h"
#include "TestSupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QToolButton>

#include <mutex>
#include <optional>

using guitest::InDirectory;
using guitest::JobsEnded;
using guitest::ModalAnswers;
using guitest::PaneLines;
using testsupport::TempDir;

namespace {

// The filters the FIND and WORKLIST jobs ran with, in the order they ran.
class RecordedFilters {
public:
    RecordedFilters() {
        for (const char* kind : {"FIND", "WORKLIST"})
            bodies.Register(kind, [this](JobContext& job) {
                std::lock_guard<std::mutex> lock(mutex_);
                runs_.push_back({job.JobKind, job.Inputs.Filter});
                return JobOutcome::Succeeded;
            });
    }
    std::vector<std::pair<std::string, QueryFilter>> runs() {
        std::lock_guard<std::mutex> lock(mutex_);
        return runs_;
    }
    JobBodyTable bodies;

private:
    std::mutex mutex_;
    std::vector<std::pair<std::string, QueryFilter>> runs_;
};

struct QueryWindow {
    QueryWindow() : in(dir.path()) { window.Bodies = &recorded.bodies; }
    ~QueryWindow() { EXPECT_TRUE(JobsEnded()); }

    // Clicks button, fills the dialog with fill and presses OK; warning answers the
    // no-filter box when one is expected (OK or Cancel), else none may come.
    void run(QToolButton* button, const std::function<void(TForm3&)>& fill,
             std::optional<QMessageBox::StandardButton> warning = std::nullopt) {
        ModalAnswers answers;
        answers.Then("Form3", [&](QWidget* w) {
            auto& form = *static_cast<TForm3*>(w);
            fill(form);
            form.Button1->click();
        });
        if (warning)
            answers.Then("NoFilterWarning", [&](QWidget* w) {
                auto& box = *static_cast<QMessageBox*>(w);
                warningText = box.text();
                warningCaption = box.windowTitle();
                box.button(*warning)->click();
            });
        button->click();
    }

    TempDir dir;
    InDirectory in;
    TForm1 window;
    RecordedFilters recorded;
    QString warningText, warningCaption;
};

QueryFilter filterOf(const QString& patient, const QString& range, const QString& accession,
                     const QString& modality) {
    return {patient.toStdString(), range.toStdString(), accession.toStdString(),
            modality.toStdString()};
}

bool operator==(const QueryFilter& a, const QueryFilter& b) {
    return a.PatientName == b.PatientName && a.DateRange == b.DateRange &&
           a.AccessionNumber == b.AccessionNumber && a.Modality == b.Modality;
}

} // namespace

TEST(QueryFilter, DateRangeFromTheTickedBoxes) {
    QueryWindow q;
    struct Case {
        bool from, to;
        QString range;
    };
    const std::vector<Case> cases = {
        {true, false, "20240101-"}, {false, true, "-20241231"}, {true, true, "20240101-20241231"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.range.toStdString());
        q.run(q.window.BitBtn7, [&](TForm3& form) {
            form.CheckBox1->setChecked(c.from);
            form.CheckBox2->setChecked(c.to);
            EXPECT_EQ(form.Edit3->isEnabled(), c.from);
            EXPECT_EQ(form.Edit4->isEnabled(), c.to);
            form.Edit3->setText("20240101");
            form.Edit4->setText("20241231");
        });
        EXPECT_EQ(q.window.State.Filter.DateRange, c.range.toStdString());
    }
    // Neither box: the range stays as the window cleared it, so this query has no filter.
    q.run(
        q.window.BitBtn7, [](TForm3&) {}, QMessageBox::Ok);
    EXPECT_EQ(q.window.State.Filter.DateRange, "");
    ASSERT_TRUE(JobsEnded());
    EXPECT_EQ(q.recorded.runs().size(), 4u);
}

TEST(QueryFilter, EveryActivationStartsFromEmptyTextsAndKeepsTypedDates) {
    QueryWindow q;
    const QString today = QDate::currentDate().toString("yyyyMMdd");
    q.run(q.window.BitBtn7, [&](TForm3& form) {
        EXPECT_EQ(form.windowTitle(), "Query Filter");
        EXPECT_EQ(form.size(), QSize(292, 212));
        EXPECT_EQ(form.Edit3->text(), today);
        EXPECT_EQ(form.Edit4->text(), today);
        EXPECT_FALSE(form.Edit3->isEnabled());
        EXPECT_FALSE(form.Edit4->isEnabled());
        EXPECT_EQ(form.ComboBox2->currentText(), "ALL");
        form.Edit2->setText("DOE^JOHN");
        form.Edit1->setText("A123");
        form.CheckBox1->setChecked(true);
        form.CheckBox2->setChecked(true);
        form.Edit3->setText("19990101");
        form.Edit4->clear();
        form.ComboBox2->setCurrentIndex(2);
    });
    q.run(q.window.BitBtn8, [&](TForm3& form) {
        EXPECT_EQ(form.Edit2->text(), "");
        EXPECT_EQ(form.Edit1->text(), "");
        EXPECT_FALSE(form.CheckBox1->isChecked());
        EXPECT_FALSE(form.CheckBox2->isChecked());
        EXPECT_FALSE(form.Edit3->isEnabled());
        EXPECT_EQ(form.Edit3->text(), "19990101");
        EXPECT_EQ(form.Edit4->text(), today); // emptied, so refilled
        EXPECT_EQ(form.ComboBox2->currentText(), "ALL");
        form.ComboBox2->setCurrentIndex(1);
    });
    ASSERT_TRUE(JobsEnded());
    auto runs = q.recorded.runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].first, "FIND");
    EXPECT_TRUE(runs[0].second == filterOf("DOE^JOHN", "19990101-", "A123", "MR"));
    EXPECT_EQ(runs[1].first, "WORKLIST");
    EXPECT_TRUE(runs[1].second == filterOf("", "", "", "CT"));
}

TEST(QueryFilter, AllMeansNoModality) {
    QueryWindow q;
    const std::vector<std::pair<QString, std::string>> cases = {
        {"ALL", ""}, {"CT", "CT"}, {"XA", "XA"}, {"OT", "OT"}, {"all", ""}};
    for (const auto& [chosen, modality] : cases) {
        SCOPED_TRACE(chosen.toStdString());
        q.run(q.window.BitBtn7, [&](TForm3& form) {
            form.Edit2->setText("X");
            int index = form.ComboBox2->findText(chosen);
            if (index >= 0)
                form.ComboBox2->setCurrentIndex(index);
            else
                form.ComboBox2->setEditText(chosen); // typed, not one of the items
        });
        EXPECT_EQ(q.window.State.Filter.Modality, modality);
    }
}

TEST(QueryFilter, NoFiltersAsksFirstCancelStartsNothingOkStartsTheJob) {
    QueryWindow q;
    q.run(
        q.window.BitBtn7, [](TForm3&) {}, QMessageBox::Cancel);
    EXPECT_EQ(q.warningCaption, "WARNING");
    EXPECT_EQ(q.warningText, "Have no filters\r\nSearch can take very long");
    EXPECT_EQ(q.window.StartedJobs(), 0);

    q.run(
        q.window.BitBtn8, [](TForm3&) {}, QMessageBox::Cancel);
    EXPECT_EQ(q.window.StartedJobs(), 0);
    QTest::qWait(100);
    EXPECT_TRUE(q.recorded.runs().empty());
    EXPECT_FALSE(std::filesystem::exists(apptest::logFile(q.dir.path(), "FIND")));

    q.run(
        q.window.BitBtn7, [](TForm3&) {}, QMessageBox::Ok);
    EXPECT_EQ(q.window.StartedJobs(), 1);
    ASSERT_TRUE(JobsEnded());
    auto runs = q.recorded.runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_TRUE(runs[0].second == filterOf("", "", "", ""));
    EXPECT_TRUE(
        guitest::WaitFor([&] { return guitest::ResultLines(q.window) == QStringList{"FIND OK"}; }));
}

TEST(QueryFilter, SecondQueryWithTheAccessionFieldClearedRunsWithoutIt) {
    QueryWindow q;
    q.run(q.window.BitBtn7, [](TForm3& form) { form.Edit1->setText("ACC-7"); });
    // The dialog empties the field itself; nothing else set, so the warning comes.
    q.run(
        q.window.BitBtn7, [](TForm3& form) { EXPECT_EQ(form.Edit1->text(), ""); }, QMessageBox::Ok);
    ASSERT_TRUE(JobsEnded());
    auto runs = q.recorded.runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_TRUE(runs[0].second == filterOf("", "", "ACC-7", ""));
    EXPECT_TRUE(runs[1].second == filterOf("", "", "", ""));
}

// Cancel, Escape and the close box start nothing: no warning box, no job.
TEST(QueryFilter, CancelStartsNothing) {
    QueryWindow q;
    for (int way = 0; way < 3; ++way) {
        ModalAnswers answers;
        answers.Then("Form3", [way](QWidget* w) {
            auto& form = *static_cast<TForm3*>(w);
            form.Edit2->setText("Doe*");
            if (way == 0)
                form.CancelButton->click();
            else if (way == 1)
                QTest::keyClick(&form, Qt::Key_Escape);
            else
                form.close();
        });
        q.window.BitBtn7->click();
    }
    QTest::qWait(100);
    EXPECT_EQ(q.window.StartedJobs(), 0);
    EXPECT_TRUE(q.recorded.runs().empty());
}
