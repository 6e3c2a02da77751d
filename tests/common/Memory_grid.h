// A TextGrid held in memory, for tests and fuzz targets that fill grids
// without a window.
#pragma once

#include <string>
#include <vector>

#include "Text_grid.h"

class MemoryGrid : public TextGrid {
public:
    MemoryGrid(int cols = 0, int rows = 0);
    int rowCount() const override { return rows_; }
    int colCount() const override { return cols_; }
    void setRowCount(int rows) override;
    void setColCount(int cols) override;
    void setColWidth(int col, int pixels) override;
    int colWidth(int col) const;
    std::string cell(int col, int row) const override;
    void setCell(int col, int row, const std::string &text) override;

private:
    void resize();
    int cols_ = 0;
    int rows_ = 0;
    std::vector<std::vector<std::string>> cells_;  // [row][col]
    std::vector<int> widths_;
};
