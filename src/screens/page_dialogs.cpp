#include "screens/page_dialogs.h"

#include <QMessageBox>

#include "screens/detail_dialog.h"

bool Page_dialogs::Available(Page_dialog dialog) const
{
    switch (dialog) {
    case Page_dialog::detail: return true;
    default: return false;
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

void Page_dialogs::ErrorSetup(QWidget* parent, Pump_loop&, int)
{
    ReportNotAvailable(parent, Page_dialog::error_setup);
}

bool Page_dialogs::AskLog(QWidget* parent, std::string&, bool&)
{
    ReportNotAvailable(parent, Page_dialog::log);
    return false;
}

bool Page_dialogs::AskVisibleNozzles(QWidget* parent, Protocol, std::vector<bool>&)
{
    ReportNotAvailable(parent, Page_dialog::visible_nozzles);
    return false;
}

bool Page_dialogs::AskDecimals(QWidget* parent, Loop_decimals&)
{
    ReportNotAvailable(parent, Page_dialog::decimals);
    return false;
}
