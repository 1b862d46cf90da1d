#pragma once
#include "loops/pump_loop.h"
#include "screens/small_dialog.h"

class QPushButton;
class QSpinBox;

// The decimals of a current-loop loop's volumes, amounts and prices on its line, each 0-8.
class TCL_Number_of_decimals_setup : public TSmall_dialog {
    Q_OBJECT
public:
    TCL_Number_of_decimals_setup();
    void Load(const Loop_decimals& decimals);
    // Runs the dialog on a copy of the loop's decimals: true after "bOK", with the three values
    // replaced; false leaves the record as it was.
    bool Edit(Loop_decimals& decimals);

    QSpinBox* Amount() const { return amount_; }
    QSpinBox* Volume() const { return volume_; }
    QSpinBox* Price() const { return price_; }
    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }

private:
    QSpinBox* amount_ = nullptr;
    QSpinBox* volume_ = nullptr;
    QSpinBox* price_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
};
