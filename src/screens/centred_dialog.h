#pragma once
#include <QDialog>

class QShowEvent;

// The base of every dialog of the program: each time it is shown it stands in the middle of the
// screen (of its parent window, else the primary one), whichever window opened it.
class TCentred_dialog : public QDialog {
    Q_OBJECT
public:
    explicit TCentred_dialog(QWidget* parent = nullptr) : QDialog(parent) {}

protected:
    // A subclass that sets its size on showing does so before it calls this.
    void showEvent(QShowEvent* event) override;
};
