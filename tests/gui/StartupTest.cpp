#include "GuiTestSupport.h"
#include "PaneFont.h"
#include "Qfilter.h"
#include "SetupDialog.h"
#include "TestSupport.h"
#include "Tsselect.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

#include <optional>

using guitest::InDirectory;
using guitest::ModalAnswers;
using testsupport::TempDir;

namespace {

QString shown(QComboBox* combo) {
    return combo->currentIndex() < 0 ? combo->placeholderText() : combo->currentText();
}

} // namespace

TEST(Startup, EmptyStartDirectoryGetsLogsAndTheDefaults) {
    TempDir dir;
    InDirectory in(dir.path());
    TForm1 window;

    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "logs"));
    EXPECT_EQ(window.State.StartDir, dir.path().string() + "/");
    EXPECT_EQ(window.State.LogDir, dir.path().string() + "/logs/");
    EXPECT_FALSE(std::filesystem::exists(dir.file("veskaro.cfg"))) << "nothing written at start";
    EXPECT_FALSE(window.Form2->isVisible());
    EXPECT_FALSE(window.Form3->isVisible());
    EXPECT_FALSE(window.Form4->isVisible());

    TForm2& setup = *window.Form2;
    EXPECT_EQ(setup.Edit4->text(), "local");
    EXPECT_EQ(setup.Edit2->text(), "127.0.0.1");
    EXPECT_EQ(setup.Edit3->text(), "104");
    EXPECT_EQ(setup.Edit5->text(), "remote");
    EXPECT_EQ(setup.ComboBox1->currentIndex(), -1);
    EXPECT_EQ(shown(setup.ComboBox1), "LOG level");
    EXPECT_FALSE(setup.CheckBox2->isChecked());
    EXPECT_EQ(shown(setup.ComboBox2), "MAGAZINE");
    EXPECT_EQ(shown(setup.ComboBox3), "PORTRAIT");
    EXPECT_EQ(shown(setup.ComboBox4), "14INX17IN");
    EXPECT_EQ(shown(setup.ComboBox5), "REPLICATE");
    EXPECT_FALSE(setup.CheckBox1->isChecked());

    const SettingsRecord& s = window.State.Settings;
    EXPECT_EQ(SettingsText(s.RemoteHost), "127.0.0.1");
    EXPECT_EQ(SettingsText(s.RemotePort), "104");
    EXPECT_EQ(SettingsText(s.LocalAET), "local");
    EXPECT_EQ(SettingsText(s.RemoteAET), "remote");
    EXPECT_EQ(s.LogLevel, 0);
    EXPECT_EQ(s.UseTls, 0);
}

TEST(Startup, SettingsStayInTheStartDirectoryWhenTheCurrentOneChanges) {
    TempDir start, elsewhere;
    SettingsRecord saved = DefaultSettings();
    SetSettingsText(saved.RemoteHost, "pacs.example");
    SetSettingsText(saved.RemoteAET, "ARCHIVE");
    saved.LogLevel = 3;
    saved.FilmSizeIndex = 4;
    saved.UseTls = 1;
    saved.PlanarConfiguration = 1;
    ASSERT_TRUE(SaveSettings(start.file("veskaro.cfg").string(), saved));

    InDirectory in(start.path());
    TForm1 window;
    TForm2& setup = *window.Form2;
    EXPECT_EQ(setup.Edit2->text(), "pacs.example");
    EXPECT_EQ(setup.Edit5->text(), "ARCHIVE");
    EXPECT_EQ(setup.ComboBox1->currentText(), "Socket Level");
    EXPECT_EQ(setup.ComboBox4->currentText(), "8_5INX11IN");
    EXPECT_TRUE(setup.CheckBox1->isChecked());
    EXPECT_TRUE(setup.CheckBox2->isChecked());

    // A file dialog may move the current directory; the settings file does not move with it.
    InDirectory away(elsewhere.path());
    setup.Edit3->setText("11112");
    {
        ModalAnswers answers;
        answers.Then("Form2", [](QWidget* w) { static_cast<TForm2*>(w)->BitBtn1->click(); });
        window.BitBtn2->click();
    }
    EXPECT_FALSE(std::filesystem::exists(elsewhere.file("veskaro.cfg")));
    SettingsRecord reread;
    ASSERT_TRUE(LoadSettings(start.file("veskaro.cfg").string(), reread));
    EXPECT_EQ(SettingsText(reread.RemotePort), "11112");
    EXPECT_EQ(SettingsText(reread.RemoteHost), "pacs.example");
}

TEST(Startup, IndexesOutsideTheListsSelectNothing) {
    TempDir dir;
    SettingsRecord saved = DefaultSettings();
    saved.LogLevel = 9;
    saved.FilmDestinationIndex = -1;
    saved.MagnificationIndex = 4;
    ASSERT_TRUE(SaveSettings(dir.file("veskaro.cfg").string(), saved));
    InDirectory in(dir.path());
    TForm1 window;
    EXPECT_EQ(window.Form2->ComboBox1->currentIndex(), -1);
    EXPECT_EQ(window.Form2->ComboBox2->currentIndex(), -1);
    EXPECT_EQ(shown(window.Form2->ComboBox2), "Film Destination");
    EXPECT_EQ(window.Form2->ComboBox5->currentIndex(), -1);
    EXPECT_EQ(shown(window.Form2->ComboBox5), "Magnification Type");
}

TEST(MainWindow, ControlsAsLaidOut) {
    TempDir dir;
    InDirectory in(dir.path());
    TForm1 window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    EXPECT_EQ(window.windowTitle(), "Veskaro");
    EXPECT_EQ(window.centralWidget()->size(), QSize(583, 411));
    EXPECT_EQ(window.Panel2->geometry(), QRect(0, 0, 583, 73));
    EXPECT_EQ(window.Panel1->geometry(), QRect(0, 411 - 95, 583, 95));
    EXPECT_EQ(window.Memo1->geometry(), QRect(0, 73, 583, 411 - 73 - 95));
    EXPECT_TRUE(window.Memo1->isReadOnly());
    EXPECT_EQ(window.Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    // Dump lines keep their columns: each line is as wide as its count of characters says.
    const QFontMetricsF metrics(window.Memo1->font());
    const qreal column = metrics.horizontalAdvance(QStringLiteral("0"));
    for (const QString& line : {QStringLiteral("(0028,0010),  2, US, Rows: 512"),
                                QStringLiteral("(FFFE,E000), -1, DL, Item: "),
                                QStringLiteral("...(0010,0010),  8, PN, Patient's Name: WIMMEL")})
        EXPECT_NEAR(metrics.horizontalAdvance(line), line.size() * column, 0.01 * line.size())
            << line.toStdString();
    EXPECT_EQ(window.Memo1->font(), PaneFont());
    EXPECT_TRUE(window.Memo1->toPlainText().isEmpty());

    const std::vector<std::tuple<QToolButton*, int, QString>> toolbar = {
        {window.BitBtn2, 8, "Setup (Ctrl+,)"},
        {window.BitBtn4, 69, "Echo - Verification (Ctrl+E)"},
        {window.BitBtn6, 130, "Store to PACS (Ctrl+S)"},
        {window.BitBtn7, 191, "Query PACS (Ctrl+F)"},
        {window.BitBtn8, 252, "Query WorkList (Ctrl+W)"},
        {window.BitBtn9, 313, "DICOM Print (Ctrl+P)"},
        {window.BitBtn1, 435, "Dump DICOM File (Ctrl+D)"},
        {window.BitBtn3, 496, "About"}};
    for (const auto& [button, left, hint] : toolbar) {
        SCOPED_TRACE(hint.toStdString());
        EXPECT_EQ(button->parentWidget(), window.Panel2);
        EXPECT_EQ(button->x(), left);
        EXPECT_EQ(button->size(), QSize(55, 55));
        EXPECT_EQ(button->toolTip(), hint);
        EXPECT_FALSE(button->icon().isNull());
    }
    EXPECT_EQ(window.BitBtn5->toolTip(), "End Application");
    EXPECT_EQ(window.BitBtn5->size(), QSize(55, 55));
    EXPECT_GT(window.BitBtn5->x(), window.BitBtn10->geometry().right());
    EXPECT_EQ(window.BitBtn10->size(), QSize(489, 73));
    EXPECT_EQ(window.BitBtn10->text(), "veskaro.example");
    EXPECT_TRUE(window.BitBtn10->font().bold());
    EXPECT_EQ(window.BitBtn10->font().pixelSize(), 40);
    EXPECT_EQ(window.BitBtn10->font().family(), "Arial Black");

    EXPECT_EQ(window.OpenDialog1->nameFilters(),
              QStringList({"DICOM Files (*.dcm)", "All Files (*)"}));
    // The toolbar stays whole however small the window is made.
    window.resize(10, 10);
    QCoreApplication::processEvents();
    EXPECT_GE(window.centralWidget()->width(), window.BitBtn3->geometry().right() + 1);
    EXPECT_GE(window.centralWidget()->width(), window.BitBtn5->geometry().right() + 1);

    EXPECT_FALSE(SlateClassicoStyleSheet().isEmpty());
    EXPECT_EQ(qApp->styleSheet(), SlateClassicoStyleSheet());

    window.BitBtn5->click();
    EXPECT_FALSE(window.isVisible());
}

TEST(SetupDialogLayout, CaptionsPagesAndTabOrder) {
    TempDir dir;
    InDirectory in(dir.path());
    TForm1 window;
    TForm2& setup = *window.Form2;
    EXPECT_EQ(setup.windowTitle(), "Setup");
    EXPECT_EQ(setup.size(), QSize(431, 282));
    EXPECT_EQ(setup.PageControl1->tabText(0), "Network");
    EXPECT_EQ(setup.PageControl1->tabText(1), "Printer");
    EXPECT_EQ(setup.CheckBox2->text(), "DICOM TLS ");
    EXPECT_EQ(setup.CheckBox1->text(), "Planar Configuration");
    EXPECT_EQ(setup.CheckBox1->layoutDirection(), Qt::RightToLeft);
    EXPECT_EQ(setup.BitBtn1->text(), "OK");
    EXPECT_TRUE(setup.BitBtn1->isDefault());
    EXPECT_EQ(setup.BitBtn2->text(), "Cancel");

    auto items = [](QComboBox* combo) {
        QStringList texts;
        for (int i = 0; i < combo->count(); ++i)
            texts << combo->itemText(i);
        return texts;
    };
    EXPECT_EQ(items(setup.ComboBox1), QStringList({"No Log", "PDU Level", "Socket Level"}));
    EXPECT_EQ(items(setup.ComboBox2),
              QStringList({"MAGAZINE", "PROCESSOR", "BIN_1", "BIN_2", "BIN_3"}));
    EXPECT_EQ(items(setup.ComboBox3), QStringList({"PORTRAIT", "LANDSCAPE", ""}));
    EXPECT_EQ(items(setup.ComboBox4),
              QStringList({"14INX17IN", "14INX14IN", "10INX12IN", "8INX10IN", "8_5INX11IN"}));
    EXPECT_EQ(items(setup.ComboBox5), QStringList({"REPLICATE", "BILINEAR", "CUBIC", "NONE"}));

    const std::vector<std::pair<QWidget*, QString>> labelled = {
        {setup.Edit4, "Local AET:"},
        {setup.Edit2, "Remote IP Address:"},
        {setup.Edit3, "Remote Port Number:"},
        {setup.Edit5, "Remote AET:"},
        {setup.ComboBox1, "LOG level:"},
        {setup.ComboBox2, "Film Destination:"},
        {setup.ComboBox3, "Film Orientation:"},
        {setup.ComboBox4, "Film Size:"},
        {setup.ComboBox5, "Magnification Type:"}};
    const QList<QLabel*> labels = setup.findChildren<QLabel*>();
    for (const auto& [control, text] : labelled) {
        SCOPED_TRACE(text.toStdString());
        auto label = std::find_if(labels.begin(), labels.end(),
                                  [&](QLabel* l) { return l->buddy() == control; });
        ASSERT_NE(label, labels.end());
        EXPECT_EQ((*label)->text(), text);
        EXPECT_TRUE((*label)->font().bold());
    }

    setup.show();
    setup.PageControl1->setCurrentIndex(0);
    setup.Edit4->setFocus();
    std::vector<QWidget*> order = {setup.Edit4};
    for (int i = 0; i < 5; ++i) {
        QWidget* next = order.back()->nextInFocusChain();
        while (!(next->focusPolicy() & Qt::TabFocus) || !next->isVisible())
            next = next->nextInFocusChain();
        order.push_back(next);
    }
    EXPECT_EQ(order, (std::vector<QWidget*>{setup.Edit4, setup.Edit2, setup.Edit3, setup.Edit5,
                                            setup.ComboBox1, setup.CheckBox2}));
    setup.hide();
}

// The pane's font is chosen by measuring glyphs, not by fontconfig's spacing flag (which some
// monospaced fonts lack): the first installed of the list whose glyphs are of equal width.
TEST(PaneFont, FirstInstalledFontWithGlyphsOfEqualWidth) {
    std::optional<QFont> chosen =
        FirstEqualWidthFont({QStringLiteral("No Such Font Family"), QStringLiteral("DejaVu Sans"),
                             QStringLiteral("DejaVu Sans Mono")});
    ASSERT_TRUE(chosen.has_value()) << "fonts-dejavu-core is missing";
    EXPECT_EQ(QFontInfo(*chosen).family(), "DejaVu Sans Mono");
    EXPECT_FALSE(HasEqualWidthGlyphs(QFont(QStringLiteral("DejaVu Sans"))));
    EXPECT_FALSE(FirstEqualWidthFont({QStringLiteral("No Such Font Family")}).has_value());

    // DejaVu Sans Mono comes first whatever else is installed.
    EXPECT_EQ(QFontInfo(PaneFont()).family(), "DejaVu Sans Mono");
    EXPECT_TRUE(HasEqualWidthGlyphs(PaneFont()));
}

// The window keeps its settings and logs in the start directory; when that is gone it says so
// and stops instead of falling back to "/".
TEST(Startup, DeletedStartDirectoryIsRefused) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("gone"));
    auto r = testsupport::runCommand("cd " + testsupport::shellQuote(dir.file("gone").string()) +
                                     " && rmdir \"$PWD\" && " +
                                     testsupport::shellQuote(VESKARO_WINDOW) + " 2>&1");
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.output, "veskaro: the current directory no longer exists; it is the start "
                        "directory, which holds veskaro.cfg and logs/: change to an existing "
                        "directory\n");
}
