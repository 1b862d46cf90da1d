#pragma once
#include <array>

#include "screens/detail_dialog.h"

class QCheckBox;

// The detail dialog of a current-loop pump (caption "Detail - Current Loop pump", 427 x 423):
// five nozzle buttons, the filling price, one preset shown as volume or amount, and a table of the
// five nozzles (enabled, unit price). It has no key commands (Esc closes through "Close").
class TCL_detail : public TDetail_dialog {
    Q_OBJECT
public:
    static constexpr int kNozzles = 5;

    TCL_detail(Page_dialogs& dialogs, QWidget* parent);

    QLineEdit* FillingPrice() const { return filling_price_; }
    QCheckBox* Allowed(int nozzle) const { return allowed_[static_cast<size_t>(nozzle - 1)]; }  // 1-5
    QLineEdit* UnitPrice(int nozzle) const { return unit_[static_cast<size_t>(nozzle - 1)]; }   // 1-5

protected:
    void FastRefreshMore(const Pump_detail& detail) override;
    void SlowRefreshMore(const Pump_detail& detail) override;

private:
    QLineEdit* filling_price_;
    std::array<QCheckBox*, kNozzles> allowed_{};
    std::array<QLineEdit*, kNozzles> unit_{};
};
