#pragma once
#include "screens/centred_dialog.h"

#include "loops/pump_loop.h"

class QLabel;
class QLineEdit;
class QPushButton;

// "Set totals for pump": the total counters of one nozzle of a Zarn pump, filled with the present
// ones. "Ok" sets them exactly as typed (decimal text, never binary floating point) or names the
// field that is not a valid value and stays open; "Cancel" changes nothing. Made for each use.
class TfZarnSetTotals : public TCentred_dialog {
    Q_OBJECT
public:
    // `nozzle` is the nozzle's number (1-15).
    TfZarnSetTotals(Pump_loop& loop, int position, int nozzle, QWidget* parent);

    int Nozzle() const { return nozzle_; }
    QLabel* PumpLabel() const { return pump_label_; }
    QLabel* NozzleLabel() const { return nozzle_label_; }
    QLineEdit* VolumeEdit() const { return volume_; }
    QLineEdit* AmountEdit() const { return amount_; }
    QLineEdit* FillingsEdit() const { return fillings_; }
    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }

private:
    void Ok();

    Pump_loop& loop_;
    const int position_;
    const int nozzle_;
    QLabel* pump_label_;
    QLabel* nozzle_label_;
    QLineEdit* volume_;
    QLineEdit* amount_;
    QLineEdit* fillings_;
    QPushButton* ok_;
    QPushButton* cancel_;
};
