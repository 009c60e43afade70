#include "SetupDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTabWidget>
#include <QVBoxLayout>

#include <initializer_list>
#include <span>

namespace {

QString latin1(std::string_view text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

std::string eightBit(const QString& text) {
    return text.toLatin1().toStdString();
}

QLabel* boldLabel(const QString& text, QWidget* buddy) {
    auto* label = new QLabel(text);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    label->setBuddy(buddy);
    return label;
}

// Room for the field's characters and nothing more, so the dialog shows what the record keeps.
template <std::size_t N> QLineEdit* field(const char* name, const char (&)[N], const char* text) {
    auto* edit = new QLineEdit(QString::fromLatin1(text));
    edit->setObjectName(QString::fromLatin1(name));
    edit->setMaxLength(static_cast<int>(N - 1));
    return edit;
}

QComboBox* list(const char* name, std::span<const std::string_view> items, const char* shown) {
    auto* combo = new QComboBox;
    combo->setObjectName(QString::fromLatin1(name));
    for (std::string_view item : items)
        combo->addItem(latin1(item));
    combo->setPlaceholderText(QString::fromLatin1(shown));
    combo->setCurrentIndex(-1);
    return combo;
}

struct Row {
    const char* caption;
    QWidget* widget;
};

// A tab page laid out as a grid of bold captions beside their fields, one row each.
QWidget* sheet(const char* name, std::initializer_list<Row> rows) {
    auto* page = new QWidget;
    page->setObjectName(QString::fromLatin1(name));
    auto* grid = new QGridLayout(page);
    grid->setContentsMargins(16, 14, 16, 10);
    grid->setHorizontalSpacing(12);
    int r = 0;
    for (const Row& row : rows) {
        grid->addWidget(boldLabel(QString::fromLatin1(row.caption), row.widget), r, 0);
        grid->addWidget(row.widget, r++, 1);
    }
    grid->setColumnStretch(1, 1);
    return page;
}

} // namespace

TForm2::TForm2(AppState& state, QWidget* parent) : QDialog(parent), state_(state) {
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("Setup"));
    setFixedSize(431, 282);

    const SettingsRecord& s = state_.Settings;
    Edit4 = field("Edit4", s.LocalAET, "local");
    Edit2 = field("Edit2", s.RemoteHost, "127.0.0.1");
    Edit3 = field("Edit3", s.RemotePort, "104");
    Edit5 = field("Edit5", s.RemoteAET, "remote");
    ComboBox1 = list("ComboBox1", LogLevelItems, "LOG level");
    CheckBox2 = new QCheckBox(QStringLiteral("DICOM TLS "));
    CheckBox2->setObjectName(QStringLiteral("CheckBox2"));

    QWidget* network = sheet("TabSheet1", {{"Local AET:", Edit4},
                                           {"Remote IP Address:", Edit2},
                                           {"Remote Port Number:", Edit3},
                                           {"Remote AET:", Edit5},
                                           {"LOG level:", ComboBox1}});
    auto* networkGrid = static_cast<QGridLayout*>(network->layout());
    networkGrid->addWidget(CheckBox2, 5, 1);
    BitBtn3 = new QPushButton(QStringLiteral("Test connection"));
    BitBtn3->setObjectName(QStringLiteral("BitBtn3"));
    BitBtn3->setToolTip(QStringLiteral("Check the connection step by step; the lines go to the "
                                       "main window"));
    BitBtn3->setAutoDefault(false);
    networkGrid->addWidget(BitBtn3, 5, 1, Qt::AlignRight);
    connect(BitBtn3, &QPushButton::clicked, this,
            [this] { emit connectionTestRequested(ControlSettings()); });
    networkGrid->setRowStretch(6, 1);

    ComboBox2 = list("ComboBox2", FilmDestinationItems, "Film Destination");
    ComboBox3 = list("ComboBox3", FilmOrientationItems, "FilmOrientation");
    ComboBox4 = list("ComboBox4", FilmSizeItems, "Film Size");
    ComboBox5 = list("ComboBox5", MagnificationItems, "Magnification Type");
    CheckBox1 = new QCheckBox(QStringLiteral("Planar Configuration"));
    CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
    CheckBox1->setLayoutDirection(Qt::RightToLeft); // the box to the right of its caption

    QWidget* printer = sheet("TabSheet2", {{"Film Destination:", ComboBox2},
                                           {"Film Orientation:", ComboBox3},
                                           {"Film Size:", ComboBox4},
                                           {"Magnification Type:", ComboBox5}});
    auto* printerGrid = static_cast<QGridLayout*>(printer->layout());
    printerGrid->addWidget(CheckBox1, 4, 0, Qt::AlignLeft);
    printerGrid->setRowStretch(5, 1);

    TlsCaEdit = new QLineEdit;
    TlsCaEdit->setObjectName(QStringLiteral("TlsCaEdit"));
    TlsCertEdit = new QLineEdit;
    TlsCertEdit->setObjectName(QStringLiteral("TlsCertEdit"));
    TlsKeyEdit = new QLineEdit;
    TlsKeyEdit->setObjectName(QStringLiteral("TlsKeyEdit"));
    TlsAcceptAnyBox = new QCheckBox(QStringLiteral("Accept any server certificate"));
    TlsAcceptAnyBox->setObjectName(QStringLiteral("TlsAcceptAnyBox"));
    Tls12OnlyBox = new QCheckBox(QStringLiteral("TLS 1.2 only"));
    Tls12OnlyBox->setObjectName(QStringLiteral("Tls12OnlyBox"));
    QWidget* security = sheet("TabSheet3", {{"CA File:", TlsCaEdit},
                                            {"Client Certificate:", TlsCertEdit},
                                            {"Client Key:", TlsKeyEdit}});
    auto* securityGrid = static_cast<QGridLayout*>(security->layout());
    securityGrid->addWidget(TlsAcceptAnyBox, 3, 1);
    securityGrid->addWidget(Tls12OnlyBox, 4, 1);
    securityGrid->setRowStretch(5, 1);

    auto number = [](const char* name, int top, const char* hint) {
        auto* edit = new QLineEdit;
        edit->setObjectName(QString::fromLatin1(name));
        edit->setValidator(new QIntValidator(0, top, edit));
        edit->setToolTip(QString::fromLatin1(hint));
        return edit;
    };
    LocalPortEdit =
        number("LocalPortEdit", 65535, "Where peers send commitment reports; 0: no listening side");
    MppsHostEdit = new QLineEdit;
    MppsHostEdit->setObjectName(QStringLiteral("MppsHostEdit"));
    MppsHostEdit->setPlaceholderText(QStringLiteral("the remote host"));
    MppsPortEdit = number("MppsPortEdit", 65535, "Empty: the remote port");
    MppsPortEdit->setPlaceholderText(QStringLiteral("the remote port"));
    MppsAetEdit = new QLineEdit;
    MppsAetEdit->setObjectName(QStringLiteral("MppsAetEdit"));
    MppsAetEdit->setMaxLength(16);
    MppsAetEdit->setPlaceholderText(QStringLiteral("the remote AET"));
    CommitWaitEdit = number("CommitWaitEdit", 3600, "Seconds a commitment waits for its report");
    QWidget* workflow = sheet("TabSheet4", {{"Local Port:", LocalPortEdit},
                                            {"MPPS IP Address:", MppsHostEdit},
                                            {"MPPS Port Number:", MppsPortEdit},
                                            {"MPPS AET:", MppsAetEdit},
                                            {"Commitment Wait (s):", CommitWaitEdit}});
    static_cast<QGridLayout*>(workflow->layout())->setRowStretch(5, 1);

    PageControl1 = new QTabWidget;
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->addTab(network, QStringLiteral("Network"));
    PageControl1->addTab(printer, QStringLiteral("Printer"));
    PageControl1->addTab(security, QStringLiteral("Security"));
    PageControl1->addTab(workflow, QStringLiteral("Workflow"));

    BitBtn1 =
        new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), QStringLiteral("OK"));
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setDefault(true);
    BitBtn2 = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton),
                              QStringLiteral("Cancel"));
    BitBtn2->setObjectName(QStringLiteral("BitBtn2"));
    for (QPushButton* button : {BitBtn1, BitBtn2})
        button->setMinimumSize(90, 30);
    connect(BitBtn1, &QPushButton::clicked, this, [this] {
        storeSettings();
        accept();
    });
    connect(BitBtn2, &QPushButton::clicked, this, &QDialog::reject);
    // Cancelled edits must not come back at the next opening, where OK would store them.
    connect(this, &QDialog::rejected, this, &TForm2::showSettings);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(BitBtn1);
    buttons->addWidget(BitBtn2);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->addWidget(PageControl1, 1);
    layout->addLayout(buttons);

    setTabOrder(Edit4, Edit2);
    setTabOrder(Edit2, Edit3);
    setTabOrder(Edit3, Edit5);
    setTabOrder(Edit5, ComboBox1);
    setTabOrder(ComboBox1, CheckBox2);
    setTabOrder(CheckBox2, BitBtn3);
    setTabOrder(ComboBox2, ComboBox3);
    setTabOrder(ComboBox3, ComboBox4);
    setTabOrder(ComboBox4, ComboBox5);
    setTabOrder(ComboBox5, CheckBox1);

    loadSettings();
    for (QLineEdit* edit : {Edit2, Edit3, Edit4, Edit5})
        connect(edit, &QLineEdit::textChanged, this, &TForm2::validate);
    validate();
}

void TForm2::validate() {
    struct Check {
        QLineEdit* edit;
        std::string (*problem)(std::string_view);
    };
    const Check checks[] = {{Edit4, AETitleProblem},
                            {Edit2, HostProblem},
                            {Edit3, PortProblem},
                            {Edit5, AETitleProblem}};
    bool allValid = true;
    for (const Check& check : checks) {
        std::string problem = check.problem(eightBit(check.edit->text()));
        bool valid = problem.empty();
        allValid = allValid && valid;
        check.edit->setProperty("invalid", !valid);
        check.edit->setToolTip(valid ? QString() : QStringLiteral("Must be ") + latin1(problem));
        check.edit->setStyleSheet(valid ? QString()
                                        : QStringLiteral("QLineEdit { border: 2px solid #c00000; "
                                                         "background: #fff0f0; }"));
    }
    BitBtn1->setEnabled(allValid);
}

void TForm2::loadSettings() {
    SettingsRecord& s = state_.Settings;
    if (LoadSettings(SettingsFileName(state_.StartDir), s)) {
        Edit2->setText(QString::fromLatin1(SettingsText(s.RemoteHost)));
        Edit3->setText(QString::fromLatin1(SettingsText(s.RemotePort)));
        Edit4->setText(QString::fromLatin1(SettingsText(s.LocalAET)));
        Edit5->setText(QString::fromLatin1(SettingsText(s.RemoteAET)));
        CheckBox1->setChecked(s.PlanarConfiguration != 0);
        CheckBox2->setChecked(s.UseTls != 0);
    } else {
        SetSettingsText(s.RemoteHost, eightBit(Edit2->text()));
        SetSettingsText(s.RemotePort, eightBit(Edit3->text()));
        SetSettingsText(s.LocalAET, eightBit(Edit4->text()));
        SetSettingsText(s.RemoteAET, eightBit(Edit5->text()));
        s.LogLevel = 0;
        s.FilmDestinationIndex = 0;
        s.FilmOrientationIndex = 0;
        s.FilmSizeIndex = 0;
        s.MagnificationIndex = 0;
        s.UseTls = 0;
    }
    selectItems(s);
}

void TForm2::showSettings() {
    const SettingsRecord& s = state_.Settings;
    Edit2->setText(QString::fromLatin1(SettingsText(s.RemoteHost)));
    Edit3->setText(QString::fromLatin1(SettingsText(s.RemotePort)));
    Edit4->setText(QString::fromLatin1(SettingsText(s.LocalAET)));
    Edit5->setText(QString::fromLatin1(SettingsText(s.RemoteAET)));
    CheckBox1->setChecked(s.PlanarConfiguration != 0);
    CheckBox2->setChecked(s.UseTls != 0);
    selectItems(s);
}

void TForm2::selectItems(const SettingsRecord& s) {
    // An index outside a list (a foreign or damaged file) selects nothing.
    auto select = [](QComboBox* combo, int index) {
        combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : -1);
    };
    select(ComboBox1, s.LogLevel - 1);
    select(ComboBox2, s.FilmDestinationIndex);
    select(ComboBox3, s.FilmOrientationIndex);
    select(ComboBox4, s.FilmSizeIndex);
    select(ComboBox5, s.MagnificationIndex);

    ExtraSettings& e = state_.Extra;
    e = LoadExtraSettings(ExtraSettingsFileName(state_.StartDir));
    TlsCaEdit->setText(QString::fromStdString(e.TlsCaFile));
    TlsCertEdit->setText(QString::fromStdString(e.TlsCertificateFile));
    TlsKeyEdit->setText(QString::fromStdString(e.TlsKeyFile));
    TlsAcceptAnyBox->setChecked(e.TlsAcceptAnyServer);
    Tls12OnlyBox->setChecked(e.TlsPin12);
    LocalPortEdit->setText(QString::number(e.LocalPort));
    MppsHostEdit->setText(QString::fromStdString(e.MppsHost));
    MppsPortEdit->setText(QString::fromStdString(e.MppsPort));
    MppsAetEdit->setText(QString::fromStdString(e.MppsAETitle));
    CommitWaitEdit->setText(QString::number(e.CommitWaitSeconds));
}

SettingsRecord TForm2::ControlSettings() const {
    SettingsRecord s = state_.Settings;
    SetSettingsText(s.RemoteHost, eightBit(Edit2->text()));
    SetSettingsText(s.RemotePort, eightBit(Edit3->text()));
    SetSettingsText(s.LocalAET, eightBit(Edit4->text()));
    SetSettingsText(s.RemoteAET, eightBit(Edit5->text()));
    s.LogLevel = ComboBox1->currentIndex() + 1;
    s.FilmDestinationIndex = ComboBox2->currentIndex();
    s.FilmOrientationIndex = ComboBox3->currentIndex();
    s.FilmSizeIndex = ComboBox4->currentIndex();
    s.MagnificationIndex = ComboBox5->currentIndex();
    s.PlanarConfiguration = CheckBox1->isChecked() ? 1 : 0;
    s.UseTls = CheckBox2->isChecked() ? 1 : 0;
    return s;
}

void TForm2::storeSettings() {
    state_.Settings = ControlSettings();
    SaveSettings(SettingsFileName(state_.StartDir), state_.Settings);

    ExtraSettings& e = state_.Extra;
    e.TlsCaFile = TlsCaEdit->text().toStdString();
    e.TlsCertificateFile = TlsCertEdit->text().toStdString();
    e.TlsKeyFile = TlsKeyEdit->text().toStdString();
    e.TlsAcceptAnyServer = TlsAcceptAnyBox->isChecked();
    e.TlsPin12 = Tls12OnlyBox->isChecked();
    // A number emptied or out of range keeps the value it had.
    if (LocalPortEdit->hasAcceptableInput())
        e.LocalPort = LocalPortEdit->text().toInt();
    e.MppsHost = MppsHostEdit->text().trimmed().toStdString();
    e.MppsPort = MppsPortEdit->text().trimmed().toStdString();
    e.MppsAETitle = MppsAetEdit->text().trimmed().toStdString();
    if (CommitWaitEdit->hasAcceptableInput())
        e.CommitWaitSeconds = CommitWaitEdit->text().toInt();
    SaveExtraSettings(ExtraSettingsFileName(state_.StartDir), e);
}
