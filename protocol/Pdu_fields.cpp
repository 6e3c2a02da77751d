#include "Pdu_fields.h"

#include <algorithm>

namespace {

class Reader {
public:
    Reader(const uint8_t *p, size_t n) : p_(p), n_(n) {}
    bool has(size_t at, size_t k) const { return at + k <= n_; }
    int32_t word(size_t at) const { return has(at, 2) ? int32_t(p_[at]) << 8 | p_[at + 1] : -1; }
    int32_t byte(size_t at) const { return has(at, 1) ? p_[at] : -1; }

    // Up to `most` words from `at`, as many as the frame holds.
    std::vector<uint16_t> words(size_t at, size_t most) const
    {
        std::vector<uint16_t> out;
        for (size_t i = 0; i < most && has(at + 2 * i, 2); ++i)
            out.push_back(uint16_t(word(at + 2 * i)));
        return out;
    }
    // Up to `most` bits from `at`, the lowest bit of each byte first.
    std::vector<uint16_t> bits(size_t at, size_t most) const
    {
        std::vector<uint16_t> out;
        for (size_t i = 0; i < most && has(at + i / 8, 1); ++i)
            out.push_back(uint16_t(p_[at + i / 8] >> (i % 8) & 1));
        return out;
    }
    size_t size() const { return n_; }

private:
    const uint8_t *p_;
    size_t n_;
};

// Byte counts of 1 to 255 entries' worth; what the frame lacks is left out.
size_t counted(const Reader &r, size_t at) { return size_t(std::max(r.byte(at), 0)); }

void address_count(const Reader &r, Pdu_fields &f)
{
    f.address = r.word(2);
    f.count = r.word(4);
}

void single_coil(const Reader &r, Pdu_fields &f)
{
    f.address = r.word(2);
    f.count = f.address >= 0 ? 1 : -1;
    const int32_t v = r.word(4);
    if (v == 0xFF00 || v == 0x0000)
        f.values = {uint16_t(v ? 1 : 0)};
}

void single_register(const Reader &r, Pdu_fields &f)
{
    f.address = r.word(2);
    f.count = f.address >= 0 ? 1 : -1;
    f.values = r.words(4, 1);
}

void request(const Reader &r, Pdu_fields &f)
{
    switch (f.function) {
    case 1: case 2: case 3: case 4: address_count(r, f); return;
    case 5: single_coil(r, f); return;
    case 6: single_register(r, f); return;
    case 8: f.values = r.words(2, r.size() / 2); return;
    case 15:
        address_count(r, f);
        f.values = r.bits(7, std::min<size_t>(std::max(f.count, 0), counted(r, 6) * 8));
        return;
    case 16:
        address_count(r, f);
        f.values = r.words(7, std::min<size_t>(std::max(f.count, 0), counted(r, 6) / 2));
        return;
    case 22:
        f.address = r.word(2);
        f.values = r.words(4, 2);
        return;
    case 23:
        address_count(r, f);
        f.write_address = r.word(6);
        f.write_count = r.word(8);
        f.write_values = r.words(11, std::min<size_t>(std::max(f.write_count, 0), counted(r, 10) / 2));
        return;
    case 43:
        for (size_t at = 2; at < 5 && r.has(at, 1); ++at)
            f.values.push_back(uint16_t(r.byte(at)));
        return;
    default: return;
    }
}

void answer(const Reader &r, Pdu_fields &f)
{
    switch (f.function) {
    case 1: case 2: f.values = r.bits(3, counted(r, 2) * 8); return;
    case 3: case 4: case 23:
        f.values = r.words(3, counted(r, 2) / 2);
        f.count = int32_t(f.values.size());
        return;
    case 5: single_coil(r, f); return;
    case 6: single_register(r, f); return;
    case 7:
        if (r.has(2, 1))
            f.values = {uint16_t(r.byte(2))};
        return;
    case 8: f.values = r.words(2, r.size() / 2); return;
    case 11: f.values = r.words(2, 2); return;
    case 15: case 16: address_count(r, f); return;
    case 22:
        f.address = r.word(2);
        f.values = r.words(4, 2);
        return;
    default: return;
    }
}

}  // namespace

Pdu_fields decode_pdu(const uint8_t *unit_pdu, size_t n, bool is_answer)
{
    Pdu_fields f;
    if (!unit_pdu || n < 2)
        return f;
    const Reader r(unit_pdu, n);
    f.valid = true;
    f.unit = unit_pdu[0];
    f.function = unit_pdu[1] & 0x7F;
    if (unit_pdu[1] & 0x80) {
        // Only an answer carries the bit; a request with it is shown as it came.
        f.exception = is_answer;
        if (!is_answer)
            f.function = unit_pdu[1];
        else if (r.has(2, 1))
            f.exception_code = uint8_t(r.byte(2));
        return f;
    }
    if (is_answer)
        answer(r, f);
    else
        request(r, f);
    return f;
}
