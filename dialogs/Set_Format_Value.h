// The slave value dialog for a register group shown in a value format (a
// 32-bit integer, a float, ...): one value typed in that format, read back
// into the registers that hold it. A value that cannot be read is refused
// with a box naming the problem and the dialog stays open. It never touches
// a table itself: the caller writes every register of the group at once.
#pragma once

#include <cstdint>
#include <span>

#include "Value_entry.h"

class TSet_FormatValueDlg : public TValueEntryDlg {
    Q_OBJECT
public:
    explicit TSet_FormatValueDlg(QWidget *parent = nullptr);

    // kind 3 holding register, 4 input register; index the group's first
    // register; current its registers as they are. Shows the dialog modally;
    // 0 on OK with value holding the registers to write, -1 otherwise.
    int EditFormattedValue(int16_t kind, uint16_t index, ValueFormat format, std::span<const uint16_t> current,
                           EncodedValue &value);

protected:
    EncodedValue read(const std::string &text) const override;
    std::string refusal(const std::string &text, const EncodedValue &result) const override;

private:
    ValueFormat format_ = ValueFormat::Signed;
};
