#include "app/messages.h"

#include <QMessageBox>

namespace {

enum class Kind
{
    Warning,
    Information
};

struct MessageText
{
    Message id;
    Kind kind;
    const char* title;
    const char* text;
};

constexpr MessageText message_texts[] = {
    {Message::SerialPortNotFound, Kind::Warning, "Warning", "Serial Port Not Found!"},
};

const MessageText& lookup(Message id)
{
    for (const MessageText& entry : message_texts) {
        if (entry.id == id)
            return entry;
    }
    Q_UNREACHABLE();
}

} // namespace

void show_message(Message message)
{
    const MessageText& m = lookup(message);
    const QString title = QString::fromLatin1(m.title);
    const QString text = QString::fromLatin1(m.text);
    if (m.kind == Kind::Information)
        QMessageBox::information(nullptr, title, text, QMessageBox::Yes);
    else
        QMessageBox::warning(nullptr, title, text, QMessageBox::Yes, QMessageBox::NoButton);
}
