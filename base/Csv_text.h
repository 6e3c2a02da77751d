// CSV text both ways (RFC 4180): a field as a file holds it, and the records
// of a text that people write by hand or spreadsheets save.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// A field as CSV holds it: quoted, with its quotes doubled, when it holds a
// comma, a quote, a line break or blanks (space, tab) at either end.
std::string csv_field(std::string_view text);

// Splits a text into records of fields. Beyond RFC 4180 it takes what hand
// edits and spreadsheets put around the data: a UTF-8 byte-order mark at the
// start, LF or CR LF line ends, blanks (space, tab) around a field, which are
// dropped, and blank lines and lines whose first non-blank is '#', which are
// skipped. A quoted field keeps everything between its quotes, line breaks
// too, with "" read as one quote. A quote inside an unquoted field, or text
// after a closing quote, or a quote never closed, stops the reading with an
// error. Every step moves forward through the text, so any text costs time
// in proportion to its length.
class Csv_reader {
public:
    explicit Csv_reader(std::string_view text);

    enum class Step { Record, End, Error };
    // The next record's fields into fields (emptied first).
    Step next(std::vector<std::string> &fields);
    // The line (from 1) the record just read, or the one that failed, starts on.
    size_t line() const { return record_line_; }
    // Why the last step failed.
    const std::string &error() const { return error_; }

private:
    bool skip_line_if_empty_or_comment();
    bool read_field(std::string &field, bool &last);

    std::string_view text_;
    size_t pos_ = 0;
    size_t line_ = 1;
    size_t record_line_ = 0;
    std::string error_;
};
