#pragma once
#include <QApplication>
#include <functional>

class QKeyEvent;

// The program's application object. It lets the main window see every key press first (before
// the focused control and before Qt passes the key on to the control's parents, so the window sees
// each press exactly once), and it shows an exception that escapes an event handler in a message
// box, one box at a time, and goes on running.
class Gallion_application : public QApplication {
    Q_OBJECT
public:
    Gallion_application(int& argc, char** argv);

    // Called for every key press and every shortcut override (the question Qt asks the focused
    // control before a menu shortcut acts); true consumes the event.
    using Key_preview = std::function<bool(QWidget* receiver, QKeyEvent* event)>;
    void SetKeyPreview(Key_preview preview) { key_preview_ = std::move(preview); }

    bool notify(QObject* receiver, QEvent* event) override;

private:
    void ShowError(const QString& text);

    Key_preview key_preview_;
    bool showing_error_ = false;
};
