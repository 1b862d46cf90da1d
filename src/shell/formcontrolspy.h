#pragma once
#include "screens/centred_dialog.h"

class QLabel;
class QListWidget;
class QPushButton;

// "Control Spy ports": lists the control event of every spy port of this user, in this program
// and in every other running instance, and switches the recording of the one selected. A click
// on an entry shows whether it records ("running" or "stopped") and enables the button that
// changes that; "Start" and "Stop" set or clear the event and show the new state. Failures are
// shown in a message box: "Not a valid spyobject" (the port has gone since the list was made),
// "Not able to start spyobject", "Not able to stop spyobject".
class TfControlSpy : public TCentred_dialog {
    Q_OBJECT
public:
    explicit TfControlSpy(QWidget* parent = nullptr);

    void Execute();

    QListWidget* ExistingList() const { return existing_; }
    QLabel* StatusLabel() const { return status_; }
    QPushButton* StartButton() const { return start_; }
    QPushButton* StopButton() const { return stop_; }
    QPushButton* CloseButton() const { return close_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Fill();
    QString SelectedEvent() const;
    void ShowState();
    void Switch(bool on);

    QListWidget* existing_ = nullptr;
    QLabel* status_caption_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* start_ = nullptr;
    QPushButton* stop_ = nullptr;
    QPushButton* close_ = nullptr;
};
