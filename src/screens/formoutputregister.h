#pragma once
#include "screens/centred_dialog.h"

#include "loops/pump_loop.h"

class QListWidget;
class QPushButton;
class QTimer;

// "Output Registers": registers 0x00-0x0E of one Zarn pump (written by the controller's output
// commands), read again every second. A line is checked for 1, unchecked for 0 and partially
// checked for any other value; the marks show the pump's values and cannot be changed here.
class TfZarnOutputRegister : public TCentred_dialog {
    Q_OBJECT
public:
    static constexpr int kRegisters = 15;
    static constexpr int kPeriodMs = 1000;

    TfZarnOutputRegister(Pump_loop& loop, int position, QWidget* parent);

    void Refresh();
    // The line of register `index` for its value.
    static QString LineText(int index, uint8_t value);

    QListWidget* List() const { return list_; }
    QTimer* Timer() const { return timer_; }

private:
    Pump_loop& loop_;
    const int position_;
    QListWidget* list_;
    QPushButton* close_;
    QTimer* timer_;
};
