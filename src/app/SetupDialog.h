#pragma once
// The Setup dialog, TForm2: the network and printer settings of the record, and the TLS
// and workflow settings of the extra settings file, on four pages.

#include "AppState.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QTabWidget;

class TForm2 : public QDialog {
    Q_OBJECT

public:
    // Loads the settings file of state.StartDir into state.Settings, or puts the edit fields'
    // design-time texts and zero levels into it when there is no readable file, and shows the
    // record in the controls. state must outlive the dialog.
    explicit TForm2(AppState& state, QWidget* parent = nullptr);

    QTabWidget* PageControl1;
    QLineEdit* Edit4;     // Local AET
    QLineEdit* Edit2;     // Remote IP Address
    QLineEdit* Edit3;     // Remote Port Number
    QLineEdit* Edit5;     // Remote AET
    QComboBox* ComboBox1; // LOG level
    QCheckBox* CheckBox2; // DICOM TLS
    QComboBox* ComboBox2; // Film Destination
    QComboBox* ComboBox3; // Film Orientation
    QComboBox* ComboBox4; // Film Size
    QComboBox* ComboBox5; // Magnification Type
    QCheckBox* CheckBox1; // Planar Configuration
    // Security page: the TLS settings of veskaro-extra.cfg.
    QLineEdit* TlsCaEdit;
    QLineEdit* TlsCertEdit;
    QLineEdit* TlsKeyEdit;
    QCheckBox* TlsAcceptAnyBox;
    QCheckBox* Tls12OnlyBox;
    // Workflow page: the listening side, the performed procedure step manager, the
    // commitment's wait, of veskaro-extra.cfg.
    QLineEdit* LocalPortEdit;
    QLineEdit* MppsHostEdit;
    QLineEdit* MppsPortEdit;
    QLineEdit* MppsAetEdit;
    QLineEdit* CommitWaitEdit;
    QPushButton* BitBtn1; // OK
    QPushButton* BitBtn2; // Cancel
    QPushButton* BitBtn3; // Test connection

    // The record as the controls show it now, saved or not.
    SettingsRecord ControlSettings() const;

signals:
    // "Test connection" was pressed: the diagnosis is to run with these settings.
    void connectionTestRequested(const SettingsRecord& settings);

private:
    void loadSettings();
    // Marks each field whose text cannot be stored, with the reason as its tool tip, and
    // keeps OK disabled while there is one.
    void validate();
    // Copies the controls into the record and saves it; a failed save is not reported, the
    // record keeps the new values for the rest of the run.
    void storeSettings();
    // Puts the record into the controls (after a Cancel).
    void showSettings();
    // Selects the record's items in the five lists.
    void selectItems(const SettingsRecord& s);

    AppState& state_;
};
