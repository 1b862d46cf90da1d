#include "screens/small_dialog.h"


#include "screens/page_fonts.h"

TSmall_dialog::TSmall_dialog() : TCentred_dialog(nullptr)
{
    setFont(page_fonts::Font(page_fonts::PointsToPixels(8)));
    setModal(true);
}

bool TSmall_dialog::Run()
{
    return exec() == QDialog::Accepted;
}

void TSmall_dialog::showEvent(QShowEvent* event)
{
    adjustSize();
    TCentred_dialog::showEvent(event);
}
