#pragma once

// Every box the window shows: a static, modal box with no parent, a short title, a fixed text and the
// single button Yes. The texts are the tool's own words and are shown exactly as listed here.
enum class Message
{
    SerialPortNotFound,
};

// Shows the box and returns once the user has closed it; its result carries no meaning.
void show_message(Message message);
