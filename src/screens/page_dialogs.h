#pragma once
#include <QString>
#include <string>
#include <vector>

#include "loops/pump_loop.h"

class QWidget;

// The dialogs a loop page opens, one entry each, so the page does not depend on how (or whether)
// a dialog is built. A dialog that does not exist yet reports so in a message box when it is
// asked for, and Available() is false for it, so the page disables its menu item.
enum class Page_dialog { detail, error_setup, log, visible_nozzles, decimals };

class Page_dialogs {
public:
    virtual ~Page_dialogs() = default;

    virtual bool Available(Page_dialog dialog) const;

    // The pump detail dialog on the pump at `position` (modal).
    virtual void Detail(QWidget* parent, Pump_loop& loop, int position);
    // The error-simulation dialog: edits the error choice stored for the pump at `position`.
    virtual void ErrorSetup(QWidget* parent, Pump_loop& loop, int position);
    // The pump-log dialog, opened with the proposed file name: true when confirmed, with the
    // chosen file name and whether the log is interpreted text.
    virtual bool AskLog(QWidget* parent, std::string& file_name, bool& interpreted);
    // The visible-nozzles dialog, one check box per flag (Zarn 10, current loop 5): true when
    // confirmed, with the flags edited.
    virtual bool AskVisibleNozzles(QWidget* parent, Protocol protocol, std::vector<bool>& visible);
    // The current-loop decimals dialog: true when confirmed, with the record edited.
    virtual bool AskDecimals(QWidget* parent, Loop_decimals& decimals);

    // The message shown for a dialog that is not built yet.
    static QString NotAvailableText(Page_dialog dialog);

protected:
    void ReportNotAvailable(QWidget* parent, Page_dialog dialog);
};
