#pragma once
// The OK and Cancel row of the small dialogs: right-aligned, OK the default, accept and reject.

class QDialog;
class QHBoxLayout;
class QPushButton;

// Creates both buttons (object names "OkButton" and "CancelButton") and returns their row.
QHBoxLayout* OkCancelRow(QDialog* dialog, QPushButton*& ok, QPushButton*& cancel);
