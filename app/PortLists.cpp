#include "app/PortLists.h"

#include "serial/PortNames.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QScrollBar>
#include <QSerialPortInfo>
#include <QStyle>
#include <QStyleOptionViewItem>

#include <algorithm>
#include <map>

namespace port_lists {

namespace {

// n of "COMn"; 0 for any other name.
int com_number(const QString& name)
{
    if (!name.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        return 0;
    bool ok = false;
    const int n = name.mid(3).toInt(&ok);
    return ok && n > 0 ? n : 0;
}

} // namespace

QList<SystemPort> system_ports()
{
    QList<SystemPort> ports;
#ifdef Q_OS_WIN
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        ports.append({info.portName(), info.description()});
#endif
    return ports;
}

QList<SystemPort> beyond_form(const QList<SystemPort>& ports)
{
    std::map<int, SystemPort> beyond;
    for (const SystemPort& port : ports) {
        const int n = com_number(port.name);
        if (n > port_names::port_count && beyond.count(n) == 0)
            beyond[n] = {QStringLiteral("COM%1").arg(n), port.description};
    }
    QList<SystemPort> list;
    for (const auto& entry : beyond)
        list.append(entry.second);
    return list;
}

void add(QComboBox* list, const QList<SystemPort>& ports)
{
    for (const SystemPort& port : ports) {
        list->addItem(port.name);
        list->setItemData(list->count() - 1, port.description.isEmpty() ? port.name : port.description,
                          Qt::ToolTipRole);
    }
    fit_popup(list);
}

void fit_popup(QComboBox* list)
{
    QAbstractItemView* view = list->view();
    QStyleOptionViewItem option;
    option.initFrom(view);
    option.font = view->font();
    option.fontMetrics = view->fontMetrics();
    int widest = 0;
    for (int row = 0; row < list->count(); ++row) {
        const QModelIndex index = view->model()->index(row, list->modelColumn(), view->rootIndex());
        widest = std::max(widest, view->itemDelegate()->sizeHint(option, index).width());
    }
    int width = widest + 2 * view->frameWidth();
    if (list->count() > list->maxVisibleItems())
        width += view->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, view->verticalScrollBar());
    view->setMinimumWidth(width);
}

} // namespace port_lists
