// A grid of texts addressed by column and row, as the station grids use it.
// The windows show it in a StringGrid; tests and fuzzers use MemoryGrid.
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
