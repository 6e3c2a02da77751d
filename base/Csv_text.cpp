#include "Csv_text.h"

#include <algorithm>

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::string csv_field(std::string_view text)
{
    const bool quote = text.find_first_of(",\"\r\n") != std::string_view::npos ||
                       (!text.empty() && (is_blank(text.front()) || is_blank(text.back())));
    if (!quote)
        return std::string(text);
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
    return out;
}

Csv_reader::Csv_reader(std::string_view text) : text_(text)
{
    if (text_.starts_with("\xEF\xBB\xBF"))
        pos_ = 3;
}

bool Csv_reader::skip_line_if_empty_or_comment()
{
    size_t p = pos_;
    while (p < text_.size() && is_blank(text_[p]))
        ++p;
    if (p < text_.size() && text_[p] != '#' && text_[p] != '\n' && !(text_[p] == '\r' && p + 1 < text_.size() &&
                                                                      text_[p + 1] == '\n'))
        return false;
    const size_t end = text_.find('\n', p);
    if (end == std::string_view::npos) {
        pos_ = text_.size();
    } else {
        pos_ = end + 1;
        ++line_;
    }
    return true;
}

Csv_reader::Step Csv_reader::next(std::vector<std::string> &fields)
{
    error_.clear();
    while (pos_ < text_.size() && skip_line_if_empty_or_comment()) {
    }
    if (pos_ >= text_.size())
        return Step::End;
    record_line_ = line_;
    // The caller's strings are reused, so that a long text allocates little.
    size_t n = 0;
    for (bool last = false; !last; ++n) {
        if (n == fields.size())
            fields.emplace_back();
        if (!read_field(fields[n], last)) {
            fields.clear();
            return Step::Error;
        }
    }
    fields.resize(n);
    return Step::Record;
}

bool Csv_reader::read_field(std::string &field, bool &last)
{
    field.clear();
    while (pos_ < text_.size() && is_blank(text_[pos_]))
        ++pos_;
    if (pos_ < text_.size() && text_[pos_] == '"') {
        ++pos_;
        for (;;) {
            const size_t quote = text_.find('"', pos_);
            if (quote == std::string_view::npos) {
                error_ = "quoted field not closed";
                return false;
            }
            const std::string_view chunk = text_.substr(pos_, quote - pos_);
            field += chunk;
            line_ += size_t(std::count(chunk.begin(), chunk.end(), '\n'));
            pos_ = quote + 1;
            if (pos_ < text_.size() && text_[pos_] == '"') {
                field += '"';
                ++pos_;
                continue;
            }
            break;
        }
        while (pos_ < text_.size() && is_blank(text_[pos_]))
            ++pos_;
    } else {
        size_t end = pos_;
        while (end < text_.size() && text_[end] != ',' && text_[end] != '\n') {
            if (text_[end] == '"') {
                error_ = "a quote inside an unquoted field";
                return false;
            }
            ++end;
        }
        size_t stop = end;
        if (stop > pos_ && text_[stop - 1] == '\r' && (stop == text_.size() || text_[stop] == '\n'))
            --stop;
        while (stop > pos_ && is_blank(text_[stop - 1]))
            --stop;
        field.assign(text_.substr(pos_, stop - pos_));
        pos_ = end;
    }
    if (pos_ >= text_.size()) {
        last = true;
        return true;
    }
    switch (text_[pos_]) {
    case ',':
        ++pos_;
        last = false;
        return true;
    case '\n':
        ++pos_;
        ++line_;
        last = true;
        return true;
    case '\r':
        // Only after a quoted field: an unquoted one takes its CR along.
        if (pos_ + 1 == text_.size()) {
            ++pos_;
            last = true;
            return true;
        }
        if (text_[pos_ + 1] == '\n') {
            pos_ += 2;
            ++line_;
            last = true;
            return true;
        }
        break;
    default:
        break;
    }
    error_ = "text after a closing quote";
    return false;
}
