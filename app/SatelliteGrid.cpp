#include "app/SatelliteGrid.h"

#include <QTableWidget>

void SatelliteGrid::install(QTableWidget& view, int row, int column)
{
    QTableWidgetItem* item = &items[row][column];
    // setItem with an item the view already holds only complains and does nothing.
    if (view.item(row, column) == item)
        return;
    view.setItem(row, column, item);
}

void SatelliteGrid::refresh(const QTableWidget& view, int row, int column)
{
    QTableWidgetItem& grid_item = items[row][column];
    const QTableWidgetItem* shown = view.item(row, column);
    if (shown == nullptr)
        grid_item.setText(QString());
    else if (shown != &grid_item)
        grid_item = *shown;
}
