#pragma once
#include "screens/detail_dialog.h"

class QTreeWidget;

// The detail dialog of a Zarn pump (caption "Detail", 482 x 428): ten nozzle buttons, the pump
// identity, the output registers, the totals list (a double click sets a nozzle's totals) and the
// key commands, seen before the controls: Enter closes, "1"-"9" and "0" select and lift a nozzle,
// "A"/"Q" flow -10/+10, "K"/"L" stop/begin logging, "O"/"P" automation Normal/none, "Z" lifts.
// Only the upper-case characters act.
class TZarn_Detail : public TDetail_dialog {
    Q_OBJECT
public:
    static constexpr int kNozzleButtons = 10;

    TZarn_Detail(Page_dialogs& dialogs, QWidget* parent);

    QButtonGroup* Fullzarn() const { return fullzarn_; }
    QTreeWidget* Totals() const { return totals_; }
    QPushButton* OutputRegButton() const { return output_reg_; }
    // The set-totals dialog for the nozzle of the list's selected row (nothing without one).
    void SetTotalsOfSelectedRow();

protected:
    void FastRefreshMore(const Pump_detail& detail) override;
    void SlowRefreshMore(const Pump_detail& detail) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool TypedKey(const QString& text);
    void IdentityClicked(int id);
    void OutputRegisters();

    QButtonGroup* fullzarn_;
    QTreeWidget* totals_;
    QPushButton* output_reg_;
    int shown_identity_ = -1;  // 0 standard, 1 full; a click on it changes nothing
};
