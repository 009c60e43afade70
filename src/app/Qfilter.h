#pragma once
// The Query Filter dialog, TForm3: fills the FIND and WORKLIST jobs' filter.

#include "AppState.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

class TForm3 : public QDialog {
    Q_OBJECT

public:
    // filter must outlive the dialog; OK writes the fields the user filled into it.
    explicit TForm3(QueryFilter& filter, QWidget* parent = nullptr);

    QLineEdit* Edit2;     // Patient Name
    QLineEdit* Edit1;     // Acc. Number
    QCheckBox* CheckBox1; // From
    QLineEdit* Edit3;
    QCheckBox* CheckBox2; // To
    QLineEdit* Edit4;
    QComboBox* ComboBox2;      // Modality
    QPushButton* Button1;      // OK
    QPushButton* CancelButton; // starts nothing, as Escape and the close box do

protected:
    // Every activation starts from empty texts, unticked dates and "ALL"; a date typed
    // during an earlier use stays.
    void showEvent(QShowEvent* event) override;

private:
    void storeFilter();

    QueryFilter& filter_;
};
