#pragma once
// The TransferSyntax dialog, TForm4: the STORE job's target transfer syntax.

#include <QDialog>

class QComboBox;
class QPushButton;

class TForm4 : public QDialog {
    Q_OBJECT

public:
    explicit TForm4(QWidget* parent = nullptr);

    QComboBox* ComboBox1;
    QPushButton* Button1;      // OK
    QPushButton* CancelButton; // starts nothing, as Escape and the close box do

    // Index into TransferSyntaxItems, -1 when OK was pressed with nothing selected. Closing
    // the dialog any other way keeps the previous choice.
    int TransferSyntaxChoice = 0;

protected:
    void showEvent(QShowEvent* event) override; // every activation selects the first item
};
