#pragma once
#include "screens/centred_dialog.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;

// The "About" box: the program's name, its version (the text of the main window's status bar),
// who made it, and the change log, newest release first.
class TAbout : public TCentred_dialog {
    Q_OBJECT
public:
    static const char* const kVersionText;  // "V1.2.8"
    static constexpr int kWidth = 433;
    static constexpr int kHeight = 330;

    explicit TAbout(QWidget* parent = nullptr);

    // The change log as the box shows it.
    static QString ChangeLog();

    QLabel* VersionLabel() const { return version_; }
    QPlainTextEdit* ChangeLogView() const { return change_log_; }
    QPushButton* OkButton() const { return ok_; }

private:
    QLabel* version_ = nullptr;
    QPlainTextEdit* change_log_ = nullptr;
    QPushButton* ok_ = nullptr;
};
