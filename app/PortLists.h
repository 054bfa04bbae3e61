#pragma once

#include <QList>
#include <QString>

class QComboBox;

// The window's two port lists beyond the form's own "COM1" to "COM15". On Windows every adapter that was
// ever plugged gets a number of its own, so a PC that has seen a few puts the next one past COM15, and a
// standard user cannot renumber it: the ports the system has beyond COM15 follow the form's names.
namespace port_lists {

struct SystemPort
{
    QString name;        // "COM17"
    QString description; // the device's own, for the tooltip
};

// The system's serial ports as it reports them: on Windows every COM port; elsewhere none, since the
// form's names stand for the devices of their table there.
QList<SystemPort> system_ports();

// Of the ports given, those the form's names do not reach ("COM16" and beyond), in number order, each once.
QList<SystemPort> beyond_form(const QList<SystemPort>& ports);

// Adds the ports after the list's items, with their description as the tooltip, then fits the popup.
void add(QComboBox* list, const QList<SystemPort>& ports);

// Makes the list's popup wide enough to show every name whole in the list's own font (the combo box keeps
// its geometry): the form's 61 pixels fit "COM9", not "COM10", and a style without a menu-like popup (the
// Windows styles) makes the popup no wider than the combo box.
void fit_popup(QComboBox* list);

} // namespace port_lists
