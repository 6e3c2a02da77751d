#include "Memory_grid.h"

MemoryGrid::MemoryGrid(int cols, int rows) : cols_(cols < 0 ? 0 : cols), rows_(rows < 0 ? 0 : rows)
{
    resize();
}

void MemoryGrid::resize()
{
    cells_.resize(rows_);
    for (auto &r : cells_)
        r.resize(cols_);
    widths_.resize(cols_, 64);
}

void MemoryGrid::setRowCount(int rows)
{
    rows_ = rows < 0 ? 0 : rows;
    resize();
}

void MemoryGrid::setColCount(int cols)
{
    cols_ = cols < 0 ? 0 : cols;
    resize();
}

void MemoryGrid::setColWidth(int col, int pixels)
{
    if (col >= 0 && col < cols_)
        widths_[col] = pixels;
}

int MemoryGrid::colWidth(int col) const
{
    return (col >= 0 && col < cols_) ? widths_[col] : 0;
}

std::string MemoryGrid::cell(int col, int row) const
{
    if (col < 0 || col >= cols_ || row < 0 || row >= rows_)
        return {};
    return cells_[row][col];
}

void MemoryGrid::setCell(int col, int row, const std::string &text)
{
    if (col < 0 || col >= cols_ || row < 0 || row >= rows_)
        return;
    cells_[row][col] = text;
}
