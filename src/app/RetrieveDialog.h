#pragma once
// The small dialog of the window's retrieve: the level, its keys and the way (C-MOVE to our
// own AE title, received on the local port, or C-GET on the same association).

#include <QDialog>

#include <string>

class QComboBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

class TRetrieveForm : public QDialog {
    Q_OBJECT

public:
    explicit TRetrieveForm(QWidget* parent = nullptr);

    QComboBox* LevelBox; // Study, Series, Image
    QLineEdit* StudyUidEdit;
    QLineEdit* SeriesUidEdit;
    QLineEdit* ImageUidEdit;
    QRadioButton* MoveButton;
    QRadioButton* GetButton;
    QPushButton* OkButton;
    QPushButton* CancelButton;

    // "STUDY", "SERIES" or "IMAGE".
    std::string Level() const;
    // "MOVE" or "GET".
    std::string Kind() const;

private:
    void update();
};
