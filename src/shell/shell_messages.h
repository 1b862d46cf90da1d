#pragma once
#include <QString>

class QWidget;

// The two kinds of message box of the program's dialogs: a fixed text about the user's input
// ("Value not valid"), shown plainly, and the text of a failure (an error the engines or the
// serial port raised, a number that does not convert), shown as an error. Both have the program's
// name as title and one "OK" button, and return when the user has closed them.
namespace shell_messages {

void Message(QWidget* parent, const QString& text);
void Failure(QWidget* parent, const QString& text);

}  // namespace shell_messages
