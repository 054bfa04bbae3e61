#pragma once

#include "outcome/Messages.h"

// Shows the message as a static, modal box with no parent and the single button Yes, and returns once the
// user has closed it; its result carries no meaning.
void show_message(Message message, int argument = 0);
void show_message(Message message, const QString& argument);
