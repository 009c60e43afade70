#include "SetupDialog.h"
#include "GuiTestSupport.h"
#include "TestSupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

using guitest::InDirectory;
using guitest::ModalAnswers;
using testsupport::readFileBytes;
using testsupport::TempDir;

namespace {

// Opens the Setup dialog from the toolbar, lets edit change it and leaves with button.
void runSetup(TForm1& window, const std::function<void(TForm2&)>& edit, bool ok) {
    ModalAnswers answers;
    answers.Then("Form2", [&](QWidget* w) {
        auto& setup = *static_cast<TForm2*>(w);
        edit(setup);
        (ok ? setup.BitBtn1 : setup.BitBtn2)->click();
    });
    window.BitBtn2->click();
}

} // namespace

TEST(SetupDialog, OkStoresWhatTheControlsShowAndWritesTheFile) {
    TempDir dir;
    InDirectory in(dir.path());
    TForm1 window;
    runSetup(
        window,
        [](TForm2& setup) {
            setup.Edit4->setText("MODALITY1");
            setup.Edit2->setText("192.168.1.20");
            setup.Edit3->setText("4242");
            setup.Edit5->setText("ARCHIVE");
            setup.ComboBox1->setCurrentIndex(1); // PDU Level
            setup.CheckBox2->setChecked(true);
            setup.PageControl1->setCurrentIndex(1);
            setup.ComboBox2->setCurrentIndex(2); // BIN_1
            setup.ComboBox3->setCurrentIndex(2); // the empty orientation
            setup.ComboBox4->setCurrentIndex(-1);
            setup.ComboBox5->setCurrentIndex(3); // NONE
            setup.CheckBox1->setChecked(true);
        },
        true);

    const SettingsRecord& s = window.State.Settings;
    EXPECT_EQ(SettingsText(s.LocalAET), "MODALITY1");
    EXPECT_EQ(SettingsText(s.RemoteHost), "192.168.1.20");
    EXPECT_EQ(SettingsText(s.RemotePort), "4242");
    EXPECT_EQ(SettingsText(s.RemoteAET), "ARCHIVE");
    EXPECT_EQ(s.LogLevel, 2);
    EXPECT_EQ(s.UseTls, 1);
    EXPECT_EQ(s.FilmDestinationIndex, 2);
    EXPECT_EQ(s.FilmOrientationIndex, 2);
    EXPECT_EQ(s.FilmSizeIndex, -1);
    EXPECT_EQ(s.MagnificationIndex, 3);
    EXPECT_EQ(s.PlanarConfiguration, 1);

    ASSERT_EQ(readFileBytes(dir.file("veskaro.cfg")).size(), SettingsRecordSize);
    SettingsRecord reread;
    ASSERT_TRUE(LoadSettings(dir.file("veskaro.cfg").string(), reread));
    EXPECT_EQ(std::memcmp(&reread, &s, sizeof reread), 0);

    // Every level item maps to index + 1, and a new start shows the stored choice again.
    for (int index = 0; index < 3; ++index) {
        runSetup(
            window, [&](TForm2& setup) { setup.ComboBox1->setCurrentIndex(index); }, true);
        EXPECT_EQ(window.State.Settings.LogLevel, index + 1);
        TForm1 restarted;
        EXPECT_EQ(restarted.Form2->ComboBox1->currentIndex(), index);
    }
}

TEST(SetupDialog, CancelKeepsFileAndRecordAndForgetsTheEdits) {
    TempDir dir;
    InDirectory in(dir.path());
    TForm1 window;
    runSetup(
        window, [](TForm2& setup) { setup.Edit5->setText("FIRST"); }, true);
    const std::vector<uint8_t> file = readFileBytes(dir.file("veskaro.cfg"));
    const SettingsRecord before = window.State.Settings;

    runSetup(
        window,
        [](TForm2& setup) {
            setup.Edit5->setText("SECOND");
            setup.Edit3->setText("1");
            setup.ComboBox1->setCurrentIndex(2);
            setup.CheckBox2->setChecked(true);
        },
        false);

    EXPECT_EQ(readFileBytes(dir.file("veskaro.cfg")), file);
    EXPECT_EQ(std::memcmp(&window.State.Settings, &before, sizeof before), 0);
    EXPECT_EQ(SettingsText(window.State.Settings.RemoteAET), "FIRST");
    // Opened again, the dialog shows the stored settings, so the next OK cannot commit the
    // cancelled edits.
    runSetup(
        window,
        [](TForm2& setup) {
            EXPECT_EQ(setup.Edit5->text(), "FIRST");
            EXPECT_EQ(setup.Edit3->text(), "104");
            EXPECT_EQ(setup.ComboBox1->currentIndex(), -1);
            EXPECT_FALSE(setup.CheckBox2->isChecked());
        },
        true);
    EXPECT_EQ(readFileBytes(dir.file("veskaro.cfg")), file);
}

TEST(SetupDialog, CancelWithoutAnyFileWritesNothing) {
    TempDir dir;
    InDirectory in(dir.path());
    TForm1 window;
    runSetup(
        window, [](TForm2& setup) { setup.Edit2->setText("10.0.0.1"); }, false);
    EXPECT_FALSE(std::filesystem::exists(dir.file("veskaro.cfg")));
    EXPECT_EQ(SettingsText(window.State.Settings.RemoteHost), "127.0.0.1");
}

// The fields take no more than the record keeps; what they hold beyond the valid range is not
// stored at all: OK stays disabled.
TEST(SetupDialog, FieldsHoldNoMoreThanTheRecordKeeps) {
    TempDir dir;
    InDirectory in(dir.path());
    TForm1 window;
    TForm2& setup = *window.Form2;
    setup.Edit3->clear();
    QTest::keyClicks(setup.Edit3, QString(40, QLatin1Char('9')));
    QTest::keyClicks(setup.Edit4, QString(200, QLatin1Char('A')));
    EXPECT_EQ(setup.Edit3->text().size(), 31);
    EXPECT_EQ(setup.Edit4->text().size(), 127);
    EXPECT_FALSE(setup.BitBtn1->isEnabled());
    EXPECT_EQ(SettingsText(window.State.Settings.RemotePort), "104");
}

// While a field holds what cannot be stored, it is marked with the reason and OK stays off.
TEST(SetupDialog, InvalidFieldsAreMarkedAndKeepOkDisabled) {
    TempDir dir;
    InDirectory in(dir.path());
    TForm1 window;
    TForm2& setup = *window.Form2;
    EXPECT_TRUE(setup.BitBtn1->isEnabled());
    struct Case {
        QLineEdit* edit;
        const char* text;
    };
    const Case cases[] = {{setup.Edit3, "76876"},
                          {setup.Edit3, ""},
                          {setup.Edit5, ""},
                          {setup.Edit5, "   "},
                          {setup.Edit4, "ABCDEFGHIJKLMNOPQ"},
                          {setup.Edit4, "A\\B"},
                          {setup.Edit2, "a b"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        QString good = c.edit->text();
        c.edit->setText(QString::fromLatin1(c.text));
        EXPECT_FALSE(setup.BitBtn1->isEnabled());
        EXPECT_TRUE(c.edit->property("invalid").toBool());
        EXPECT_TRUE(c.edit->toolTip().startsWith("Must be "));
        c.edit->setText(good);
        EXPECT_TRUE(setup.BitBtn1->isEnabled());
        EXPECT_FALSE(c.edit->property("invalid").toBool());
    }
}

TEST(SetupDialog, SecurityPageKeepsTheTlsSettingsInTheExtraFile) {
    TempDir dir;
    InDirectory in(dir.path());
    TForm1 window;
    runSetup(
        window,
        [](TForm2& setup) {
            setup.TlsCaEdit->setText("ca.pem");
            setup.TlsCertEdit->setText("client.pem");
            setup.TlsKeyEdit->setText("client.key");
            setup.TlsAcceptAnyBox->setChecked(true);
        },
        true);
    EXPECT_EQ(readFileBytes(dir.file("veskaro.cfg")).size(), SettingsRecordSize);
    ExtraSettings extra = LoadExtraSettings(dir.file("veskaro-extra.cfg").string());
    EXPECT_EQ(extra.TlsCaFile, "ca.pem");
    EXPECT_EQ(extra.TlsCertificateFile, "client.pem");
    EXPECT_EQ(extra.TlsKeyFile, "client.key");
    EXPECT_TRUE(extra.TlsAcceptAnyServer);
    EXPECT_FALSE(extra.TlsPin12);
    EXPECT_EQ(window.State.Extra.TlsCaFile, "ca.pem");
    TForm1 restarted;
    EXPECT_EQ(restarted.Form2->TlsKeyEdit->text(), "client.key");
    EXPECT_TRUE(restarted.Form2->TlsAcceptAnyBox->isChecked());
    EXPECT_EQ(restarted.Form2->PageControl1->tabText(2), "Security");
}
