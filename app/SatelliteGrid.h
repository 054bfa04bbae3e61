#pragma once

#include <QTableWidgetItem>

class QTableWidget;

// The 99 x 4 cells of the satellite table, owned by the window and shown by the view.
//
// A QTableWidget deletes the items it holds (setItem over a cell, clearContents, setRowCount(0), its own
// destruction). These items are held by value, so the view must never do any of that to them: the grid
// installs an item only where it is not already shown, and it must be destroyed before its view (an item
// that is destroyed leaves its table cleanly).
class SatelliteGrid
{
public:
    static constexpr int rows = 99;
    static constexpr int columns = 4;

    SatelliteGrid() = default;
    SatelliteGrid(const SatelliteGrid&) = delete;
    SatelliteGrid& operator=(const SatelliteGrid&) = delete;

    QTableWidgetItem& at(int row, int column) { return items[row][column]; }

    // Puts the grid item into its cell of the view; the view discards what the cell held before.
    void install(QTableWidget& view, int row, int column);

    // Takes the view's cell into the grid item: data and flags of the view's item, or empty text when
    // the cell has none. The cell may hold the grid item itself or one the view made for an edit.
    void refresh(const QTableWidget& view, int row, int column);

private:
    QTableWidgetItem items[rows][columns];
};
