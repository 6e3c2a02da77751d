#include "Master_format.h"

#include <algorithm>
#include <vector>

#include "Strformat.h"

namespace {

constexpr int kValueCol = 1;
constexpr int kHexCol = 2;

// "0x" and four hexadecimal digits, as the grid writes them; false for
// anything else (an empty cell).
bool read_hex_cell(const std::string &text, uint16_t &value)
{
    if (text.size() != 6 || text[0] != '0' || text[1] != 'x')
        return false;
    unsigned v = 0;
    for (size_t i = 2; i < 6; ++i) {
        const char c = text[i];
        int d = -1;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        if (d < 0)
            return false;
        v = v * 16 + unsigned(d);
    }
    value = uint16_t(v);
    return true;
}

std::string trimmed(const std::string &s)
{
    const size_t first = s.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

}  // namespace

std::string value_column_header(ValueFormat format)
{
    return format == ValueFormat::Signed ? std::string("Decimal") : std::string(value_format_text(format));
}

void show_value_column(TextGrid &grid, ValueFormat format)
{
    if (grid.colCount() != 3 || grid.rowCount() < 1)
        return;
    grid.setCell(kValueCol, 0, value_column_header(format));
    const int count = grid.rowCount() - 1;
    std::vector<uint16_t> words(size_t(count), 0);
    std::vector<bool> present(size_t(count), false);
    for (int i = 0; i < count; ++i) {
        uint16_t v = 0;
        present[size_t(i)] = read_hex_cell(grid.cell(kHexCol, i + 1), v);
        words[size_t(i)] = v;
    }
    const int width = value_format_width(format);
    for (int start = 0; start < count; start += width) {
        const int end = std::min(start + width, count);
        const bool whole = std::all_of(present.begin() + start, present.begin() + end, [](bool p) { return p; });
        for (int i = start; i < end; ++i) {
            std::string text;
            if (whole) {
                switch (value_row_role(format, i, count)) {
                case RowRole::Value:
                    text = decode_value(format, std::span<const uint16_t>(words).subspan(size_t(i)));
                    break;
                case RowRole::Follows:
                    text = kFollowText;
                    break;
                case RowRole::Incomplete:
                    text = kIncompleteText;
                    break;
                }
            }
            grid.setCell(kValueCol, i + 1, text);
        }
    }
}

bool pick_formatted_write(const TextGrid &grid, int row, int col, const MasterRequest &request,
                          ValueFormat format, FormattedTarget &target)
{
    const int width = value_format_width(format);
    if (request.kind != 2 || col != kValueCol || width < 2 || row < 1 || row > request.count)
        return false;
    const int first = value_group_start(format, row - 1);
    if (first + width > request.count)
        return false;  // "?": the rest of the value was not read
    target.firstRow = first + 1;
    target.address = uint16_t(request.start + first);
    target.count = width;
    target.current = trimmed(grid.cell(kValueCol, first + 1));
    if (target.current == kIncompleteText)
        target.current.clear();
    return true;
}

void show_block_write(TextGrid &grid, const MasterRequest &request, const WriteJob &job)
{
    const long first = request.start;
    const long last = long(request.start) + request.count;  // one past
    if (job.function == 15 && request.kind == 0) {
        for (size_t k = 0; k < job.bits.size(); ++k) {
            const long a = long(job.address) + long(k);
            if (a < first || a >= last)
                continue;
            const long offset = a - first;
            grid.setCell(int(8 - offset % 8), int(1 + offset / 8), job.bits[k] ? "On" : "Off");
        }
    } else if (job.function == 16 && request.kind == 2) {
        for (size_t k = 0; k < job.words.size(); ++k) {
            const long a = long(job.address) + long(k);
            if (a < first || a >= last)
                continue;
            const int row = int(1 + a - first);
            grid.setCell(kValueCol, row, strformat("%6d", int(int16_t(job.words[k]))));
            grid.setCell(kHexCol, row, strformat("0x%04X", unsigned(job.words[k])));
        }
    }
}
