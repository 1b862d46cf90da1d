#include "shell/shell_messages.h"

#include <QMessageBox>

namespace shell_messages {
namespace {

void Show(QWidget* parent, QMessageBox::Icon icon, const QString& text)
{
    QMessageBox box(icon, QStringLiteral("Gallion"), text, QMessageBox::Ok, parent);
    box.exec();
}

}  // namespace

void Message(QWidget* parent, const QString& text)
{
    Show(parent, QMessageBox::NoIcon, text);
}

void Failure(QWidget* parent, const QString& text)
{
    Show(parent, QMessageBox::Critical, text);
}

}  // namespace shell_messages
