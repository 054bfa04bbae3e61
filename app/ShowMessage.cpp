#include "app/ShowMessage.h"

#include <QMessageBox>

void show_message(Message message, int argument)
{
    const MessageText m = message_text(message, argument);
    if (m.information)
        QMessageBox::information(nullptr, m.title, m.text, QMessageBox::Yes);
    else
        QMessageBox::warning(nullptr, m.title, m.text, QMessageBox::Yes, QMessageBox::NoButton);
}
