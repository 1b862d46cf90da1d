#include "screens/page_dialogs.h"

#include <QMessageBox>

#include "screens/detail_dialog.h"
#include "screens/log_dialog.h"
#include "screens/tcl_errors.h"
#include "screens/tcl_number_of_decimals_setup.h"
#include "screens/tnozzles_visible.h"
#include "screens/tzarn_errors.h"

Page_dialogs::Page_dialogs() = default;

Page_dialogs::~Page_dialogs() = default;

bool Page_dialogs::Available(Page_dialog dialog) const
{
    switch (dialog) {
    case Page_dialog::detail:
    case Page_dialog::error_setup:
    case Page_dialog::log:
    case Page_dialog::visible_nozzles:
    case Page_dialog::decimals:
        return true;
    default:
        return false;
    }
}

QString Page_dialogs::NotAvailableText(Page_dialog dialog)
{
    switch (dialog) {
    case Page_dialog::detail: return QStringLiteral("The pump detail dialog is not available yet.");
    case Page_dialog::error_setup: return QStringLiteral("The error setup dialog is not available yet.");
    case Page_dialog::log: return QStringLiteral("The pump log dialog is not available yet.");
    case Page_dialog::visible_nozzles: return QStringLiteral("The visible nozzles dialog is not available yet.");
    case Page_dialog::decimals: return QStringLiteral("The decimals dialog is not available yet.");
    }
    return {};
}

void Page_dialogs::ReportNotAvailable(QWidget* parent, Page_dialog dialog)
{
    QMessageBox::information(parent, QStringLiteral("Gallion"), NotAvailableText(dialog));
}

void Page_dialogs::Detail(QWidget* parent, Pump_loop& loop, int position)
{
    OpenDetail(parent, *this, loop, position);
}

void Page_dialogs::ErrorSetup(QWidget*, Pump_loop& loop, int position)
{
    if (!loop.HasPump(position))
        return;
    TError_simulation* dialog = nullptr;
    if (loop.GetProtocol() == Protocol::zarn) {
        if (!zarn_errors_)
            zarn_errors_ = std::make_unique<TZarn_Errors>(loop.ErrorChoices());
        dialog = zarn_errors_.get();
    } else {
        if (!cl_errors_)
            cl_errors_ = std::make_unique<TCL_Errors>(loop.ErrorChoices());
        dialog = cl_errors_.get();
    }
    int code = loop.ErrorType(position);
    int count = loop.ErrorValue(position);
    // Stored only if the pump still exists when the dialog closes.
    if (dialog->Edit(code, count) && loop.HasPump(position))
        loop.SetErrorSetup(position, code, count);
}

bool Page_dialogs::AskLog(QWidget*, std::string& file_name, bool& interpreted)
{
    if (!log_dialog_)
        log_dialog_ = std::make_unique<TLog_dialog>();
    return log_dialog_->Edit(file_name, interpreted);
}

bool Page_dialogs::AskVisibleNozzles(QWidget*, Protocol protocol, std::vector<bool>& visible)
{
    if (protocol == Protocol::zarn) {
        if (!zarn_nozzles_)
            zarn_nozzles_ = std::make_unique<TZarn_nozzles_visible>();
        return zarn_nozzles_->Edit(visible);
    }
    if (!cl_nozzles_)
        cl_nozzles_ = std::make_unique<TCL_nozzles_visible>();
    return cl_nozzles_->Edit(visible);
}

bool Page_dialogs::AskDecimals(QWidget*, Loop_decimals& decimals)
{
    if (!decimals_dialog_)
        decimals_dialog_ = std::make_unique<TCL_Number_of_decimals_setup>();
    return decimals_dialog_->Edit(decimals);
}
