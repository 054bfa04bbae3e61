#include "app/ShowMessage.h"

#include <QMessageBox>

namespace {

void show(const MessageText& m)
{
    if (m.information)
        QMessageBox::information(nullptr, m.title, m.text, QMessageBox::Yes);
    else
        QMessageBox::warning(nullptr, m.title, m.text, QMessageBox::Yes, QMessageBox::NoButton);
}

} // namespace

void show_message(Message message, int argument)
{
    show(message_text(message, argument));
}

void show_message(Message message, const QString& argument)
{
    show(message_text(message, argument));
}
