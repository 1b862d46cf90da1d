#include "screens/centred_dialog.h"

#include <QGuiApplication>
#include <QScreen>
#include <QShowEvent>

void TCentred_dialog::showEvent(QShowEvent* event)
{
    if (!event->spontaneous()) {
        const QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
        const QScreen* desktop = owner ? owner->screen() : QGuiApplication::primaryScreen();
        if (desktop)
            move(desktop->availableGeometry().center() - rect().center());
    }
    QDialog::showEvent(event);
}
