#pragma once
#include "screens/centred_dialog.h"
#include <array>

#include "shell/app_settings.h"

class QCheckBox;
class QLineEdit;
class QPushButton;
class QTabWidget;

// The "Preferences" dialog: the program-wide keys of section Main on the "General" tab, the Zarn
// and current-loop engine keys on one tab each. Every showing fills the fields from the settings
// file; "Ok" checks the number fields in a fixed order (the failing field's tab is made active and
// the field focused, "Value not valid" is shown and nothing is written), then writes every key and
// closes. Changes reach only pumps, loops and threads created afterwards, as the note says.
class TfConfig : public TCentred_dialog {
    Q_OBJECT
public:
    explicit TfConfig(QWidget* parent = nullptr);
    ~TfConfig() override;

    // Shows the dialog modally; true when "Ok" wrote the settings.
    bool Execute();

    // Controls, for tests and the screenshots. The number fields and check boxes are named after
    // their section and key ("ZarnPumpSleepMs", "CurrentLoopAutoFlow", "MainAutoSave", ...).
    QTabWidget* Tabs() const { return tabs_; }
    QWidget* GeneralTab() const { return general_tab_; }
    QWidget* ZarnTab() const { return zarn_.tab; }
    QWidget* CurrentLoopTab() const { return current_loop_.tab; }
    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    // The controls of one protocol's tab.
    struct Protocol_fields {
        QWidget* tab = nullptr;
        QLineEdit* pump_sleep_ms = nullptr;
        QLineEdit* throttle_volume = nullptr;
        QLineEdit* throttle_amount = nullptr;
        QLineEdit* throttle_flow = nullptr;
        QLineEdit* poll_timeout = nullptr;
        QLineEdit* volume_decimals = nullptr;
        QLineEdit* amount_decimals = nullptr;
        QLineEdit* price_decimals = nullptr;
        QCheckBox* log_rx_errors = nullptr;
        QCheckBox* auto_flow = nullptr;
        QCheckBox* recalc_at_preset = nullptr;
        QCheckBox* filling_complete_only_after_nozzle_returned = nullptr;  // Zarn only
        QCheckBox* converter_switches_reception = nullptr;                 // Zarn only, inverted
    };

    QWidget* BuildProtocolTab(Protocol_fields& fields, const QString& section, bool zarn);
    void Fill();
    void FillProtocol(Protocol_fields& fields, const Pump_settings& values);
    // Checks the number fields of a tab in order into values; false at the first that fails
    // (its message has been shown).
    bool TakeProtocol(Protocol_fields& fields, Pump_settings& values);
    bool TakeInt(QWidget* tab, QLineEdit* field, int low, int high, int& value);
    bool TakeFloat(QWidget* tab, QLineEdit* field, double& value);
    void Ok();

    QTabWidget* tabs_ = nullptr;
    QWidget* general_tab_ = nullptr;
    QCheckBox* auto_save_ = nullptr;
    QCheckBox* auto_load_ = nullptr;
    QCheckBox* show_spy_port_ = nullptr;
    Protocol_fields zarn_;
    Protocol_fields current_loop_;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
};
