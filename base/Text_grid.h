// A grid of texts addressed by column and row, as the station grids use it.
// The windows show it in a StringGrid.
#pragma once

#include <string>
#include <vector>

class TextGrid {
public:
    virtual ~TextGrid() = default;
    virtual int rowCount() const = 0;
    virtual int colCount() const = 0;
    virtual void setRowCount(int rows) = 0;
    virtual void setColCount(int cols) = 0;
    virtual void setColWidth(int col, int pixels) = 0;
    virtual std::string cell(int col, int row) const = 0;
    // Out-of-range cells are ignored.
    virtual void setCell(int col, int row, const std::string &text) = 0;
};
