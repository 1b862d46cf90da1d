#include "shell/gallion_application.h"

#include <QKeyEvent>
#include <QMessageBox>
#include <clocale>
#include <cstdio>
#include <exception>

#include "platform/settings.h"

Gallion_application::Gallion_application(int& argc, char** argv) : QApplication(argc, argv)
{
    // The engines format and parse numbers in the "C" convention; Qt has set the user's locale.
    // The settings file's floats keep the user's decimal separator.
    Settings::SetDecimalPoint(Settings::UserDecimalPoint());
    std::setlocale(LC_NUMERIC, "C");
    setStyle(QStringLiteral("Fusion"));
}

bool Gallion_application::notify(QObject* receiver, QEvent* event)
{
    try {
        const bool key_event = event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride;
        if (key_event && key_preview_ && receiver->isWidgetType() &&
            key_preview_(static_cast<QWidget*>(receiver), static_cast<QKeyEvent*>(event)))
            return true;
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        ShowError(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        ShowError(QStringLiteral("Unknown error"));
    }
    return false;
}

void Gallion_application::ShowError(const QString& text)
{
    if (showing_error_) {
        // A box is open already: one at a time, so a repeating failure cannot stack them up.
        std::fprintf(stderr, "gallion: %s\n", text.toLocal8Bit().constData());
        return;
    }
    showing_error_ = true;
    QMessageBox::critical(activeWindow(), QStringLiteral("Gallion"), text);
    showing_error_ = false;
}
