#pragma once
#include <QString>
#include <memory>
#include <string>
#include <vector>

#include "loops/pump_loop.h"

class QWidget;
class TCL_Errors;
class TCL_Number_of_decimals_setup;
class TCL_nozzles_visible;
class TLog_dialog;
class TZarn_Errors;
class TZarn_nozzles_visible;

// The dialogs a loop page opens, one entry each, so the page does not depend on how (or whether)
// a dialog is built. A dialog that does not exist yet reports so in a message box when it is
// asked for, and Available() is false for it, so the page disables its menu item.
enum class Page_dialog { detail, error_setup, log, visible_nozzles, decimals };

class Page_dialogs {
public:
    Page_dialogs();
    virtual ~Page_dialogs();

    virtual bool Available(Page_dialog dialog) const;

    // The pump detail dialog on the pump at `position` (modal).
    virtual void Detail(QWidget* parent, Pump_loop& loop, int position);
    // The error-simulation dialog: edits the error choice stored for the pump at `position`
    // ("Commit error" applies it).
    virtual void ErrorSetup(QWidget* parent, Pump_loop& loop, int position);
    // The pump-log dialog: a non-empty file_name is proposed in its edit (the pages propose
    // "Pump N.log"), an empty one leaves the edit's last text. True when confirmed with a file
    // name, with the chosen file name and whether the log is interpreted text.
    virtual bool AskLog(QWidget* parent, std::string& file_name, bool& interpreted);
    // The visible-nozzles dialog, one check box per nozzle it covers (Zarn 1-10, current loop
    // 1-5): true when confirmed, with those flags edited; flags beyond them (Zarn 11-15) are left
    // as they were.
    virtual bool AskVisibleNozzles(QWidget* parent, Protocol protocol, std::vector<bool>& visible);
    // The current-loop decimals dialog: true when confirmed, with the record edited.
    virtual bool AskDecimals(QWidget* parent, Loop_decimals& decimals);

    // The message shown for a dialog that is not built yet.
    static QString NotAvailableText(Page_dialog dialog);

protected:
    void ReportNotAvailable(QWidget* parent, Page_dialog dialog);

private:
    // Each dialog is built on its first use and reused afterwards.
    std::unique_ptr<TZarn_Errors> zarn_errors_;
    std::unique_ptr<TCL_Errors> cl_errors_;
    std::unique_ptr<TLog_dialog> log_dialog_;
    std::unique_ptr<TZarn_nozzles_visible> zarn_nozzles_;
    std::unique_ptr<TCL_nozzles_visible> cl_nozzles_;
    std::unique_ptr<TCL_Number_of_decimals_setup> decimals_dialog_;
};
