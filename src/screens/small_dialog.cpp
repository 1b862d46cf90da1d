#include "screens/small_dialog.h"

#include <QGuiApplication>
#include <QScreen>

#include "screens/page_fonts.h"

TSmall_dialog::TSmall_dialog() : QDialog(nullptr)
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
    if (const QScreen* desktop = QGuiApplication::primaryScreen())
        move(desktop->availableGeometry().center() - rect().center());
    QDialog::showEvent(event);
}
