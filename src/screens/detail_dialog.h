#pragma once
#include "screens/centred_dialog.h"
#include <QString>
#include <array>
#include <memory>
#include <vector>

#include "loops/pump_loop.h"

class Page_dialogs;
class QButtonGroup;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSlider;
class QTimer;
class QToolButton;
class TfRXErrors;

// What both pump detail dialogs share: one pump shown in full and driven by the operator. The
// dialog reads the pump through the loop layer on two timers (fast: texts, nozzle fonts, receive
// error count; slow: flow, automation, logging, nozzle captions and what each protocol adds) and
// acts on it only from the operator's own signals: a refresh writes its controls under
// QSignalBlocker, so showing the pump never changes it.
//
// A page keeps one dialog and reuses it (OpenDetail), so the receive-error texts the dialog took
// out of its pumps stay with it, each under its own pump.
class TDetail_dialog : public TCentred_dialog {
    Q_OBJECT
public:
    static constexpr int kFastPeriodMs = 500;
    static constexpr int kSlowPeriodMs = 3000;

    ~TDetail_dialog() override;

    Protocol GetProtocol() const { return protocol_; }
    Page_dialogs& Dialogs() const { return dialogs_; }
    // The pump the dialog shows next (no refresh yet: showing the dialog refreshes it).
    void SetPump(Pump_loop& loop, int position);
    // SetPump, then the modal run; the timers run while the dialog is shown.
    void Open(Pump_loop& loop, int position);
    Pump_loop* Loop() const { return loop_; }
    int Position() const { return position_; }

    void FastRefresh();
    void SlowRefresh();
    // "<<" (-1) and ">>" (+1): the next position with a pump, at most one round of the page's
    // positions, then both refreshes.
    void Step(int direction);

    // Controls, for tests and the screenshots.
    QLabel* PumpNumberLabel() const { return pump_nr_label_; }
    QLabel* StatusLabel() const { return status_label_; }
    QLineEdit* FilledVolume() const { return filled_volume_; }
    QLineEdit* FilledAmount() const { return filled_amount_; }
    QLineEdit* PresetVolume() const { return preset_volume_; }
    QLineEdit* PresetAmount() const { return preset_amount_; }
    QLabel* SelectedNozzleLabel() const { return selected_nozzle_label_; }
    QToolButton* NozzleButton(int nozzle) const;  // 1 based; nullptr outside the buttons
    int NozzleButtons() const { return static_cast<int>(nozzle_buttons_.size()); }
    QSlider* FlowTrackbar() const { return flow_trackbar_; }
    QLabel* FlowLabel() const { return flow_label_; }
    QPushButton* FlowButton() const { return flow_button_; }
    QButtonGroup* AutomationGroup() const { return automation_group_; }
    QPushButton* ChooseErrorButton() const { return choose_error_; }
    QPushButton* CommitErrorButton() const { return commit_error_; }
    QPushButton* VisibleNozzlesButton() const { return visible_nozzles_; }
    QPushButton* LoggedStatus() const { return logged_status_; }
    QPushButton* ShowErrorsButton() const { return show_errors_; }
    QLabel* RxErrorsLabel() const { return rx_errors_label_; }
    QPushButton* PreviousButton() const { return previous_; }
    QPushButton* NextButton() const { return next_; }
    QPushButton* CloseButton() const { return close_; }
    TfRXErrors* RxErrorsDialog() const { return rx_dialog_; }
    QTimer* FastTimer() const { return fast_timer_; }
    QTimer* SlowTimer() const { return slow_timer_; }

protected:
    TDetail_dialog(Page_dialogs& dialogs, Protocol protocol, int nozzle_buttons, QWidget* parent);

    // The pump's snapshot; false when the loop has no pump at the shown position.
    bool ReadPump(Pump_detail& detail) const;
    // What a protocol adds to the refreshes.
    virtual void FastRefreshMore(const Pump_detail&) {}
    virtual void SlowRefreshMore(const Pump_detail&) {}

    // The operator's actions both dialogs offer (also the Zarn dialog's keys).
    void BeginLogging();
    void StopLogging();

    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

    QPushButton* MakeButton(const QString& caption);
    QLabel* MakeLabel(const QString& text);
    QLineEdit* MakeDisplay();
    // Places a label at (left, top) in its natural size.
    static void Place(QWidget* widget, int left, int top);
    // The top left of both dialogs: pump number, status, and the filled/preset grid.
    void PlacePumpAndFigures();

    QLabel* pump_nr_label_;
    QLabel* status_label_;
    QLabel* filled_head_;
    QLabel* preset_head_;
    QLabel* volume_head_;
    QLabel* amount_head_;
    QLineEdit* filled_volume_;
    QLineEdit* filled_amount_;
    QLineEdit* preset_volume_;
    QLineEdit* preset_amount_;
    QLabel* selected_nozzle_head_;
    QLabel* selected_nozzle_label_;
    std::vector<QToolButton*> nozzle_buttons_;
    QFrame* automation_box_;
    QButtonGroup* automation_group_;
    QFrame* flow_panel_;
    QLabel* flow_label_;
    QSlider* flow_trackbar_;
    QPushButton* flow_button_;
    QPushButton* choose_error_;
    QPushButton* commit_error_;
    QPushButton* visible_nozzles_;
    QPushButton* logged_status_;
    QPushButton* show_errors_;
    QLabel* rx_errors_head_;
    QLabel* rx_errors_label_;
    QPushButton* previous_;
    QPushButton* next_;
    QPushButton* close_;

private:
    void NozzleButtonClicked(int nozzle);
    void FlowTrackbarAction(int action);
    void AutomationClicked(int level);
    void ShowErrors();
    void LoggingButton();
    void ChooseVisibleNozzles();
    void UpdateShowErrors(const Pump_detail& detail);

    Page_dialogs& dialogs_;
    const Protocol protocol_;
    Pump_loop* loop_ = nullptr;
    int position_ = 0;
    int shown_automation_ = -1;  // the item the group shows; a click on it changes nothing
    TfRXErrors* rx_dialog_;
    QTimer* fast_timer_;
    QTimer* slow_timer_;
};

// The detail dialog of the pump at `position` (modal). The page's dialog is kept as a child of
// `page` and reused; without a page a dialog is made for this one run.
void OpenDetail(QWidget* page, Page_dialogs& dialogs, Pump_loop& loop, int position);
