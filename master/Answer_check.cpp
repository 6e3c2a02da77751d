#include "Answer_check.h"

#include <algorithm>

#include "Hex_digit.h"
#include "Strformat.h"

namespace {

uint16_t word_at(const std::vector<uint8_t> &p, size_t i) { return uint16_t(p[i] << 8 | p[i + 1]); }

Answer_verdict bad(std::string why)
{
    Answer_verdict v;
    v.why = std::move(why);
    return v;
}

Answer_verdict ok()
{
    Answer_verdict v;
    v.kind = Answer_verdict::Ok;
    return v;
}

// An answer carrying a byte count and then exactly that many bytes, which
// must be `want` (negative: any).
Answer_verdict counted(const std::vector<uint8_t> &a, int want)
{
    if (a.size() < 2)
        return bad("no byte count");
    const int count = a[1];
    if (a.size() != size_t(2 + count))
        return bad(strformat("byte count %d, %d bytes follow", count, int(a.size()) - 2));
    if (want >= 0 && count != want)
        return bad(strformat("byte count %d, %d expected", count, want));
    return ok();
}

// The first `n` bytes of the answer repeat those of the request.
Answer_verdict echo(const std::vector<uint8_t> &q, const std::vector<uint8_t> &a, size_t n)
{
    if (a.size() != n || q.size() < n)
        return bad(strformat("%d bytes, %d expected", int(a.size()), int(n)));
    for (size_t i = 1; i < n; ++i)
        if (a[i] != q[i])
            return bad("the answer does not repeat the request");
    return ok();
}

Answer_verdict identity_shape(const std::vector<uint8_t> &q, const std::vector<uint8_t> &a)
{
    if (a.size() < 7 || a[1] != 14 || (q.size() >= 3 && a[2] != q[2]))
        return bad("not an identification answer");
    Frame_pdu f;
    f.pdu = a;
    Identity_part part;
    if (!answer_identity(f, part))
        return bad("identification objects overrun the answer");
    return ok();
}

}  // namespace

bool rtu_frame_pdu(const uint8_t *frame, int32_t n, Frame_pdu &out)
{
    if (!frame || n < 4)
        return false;
    out.unit = frame[0];
    out.pdu.assign(frame + 1, frame + n - 2);
    return true;
}

bool ascii_frame_pdu(const char *frame, int32_t n, Frame_pdu &out)
{
    // ':' unit pairs... LRC CR LF: the pairs between the colon and the LRC.
    if (!frame || n < 9 || frame[0] != ':')
        return false;
    const int32_t hex = n - 5;
    if (hex % 2 != 0)
        return false;
    std::vector<uint8_t> bytes;
    bytes.reserve(size_t(hex / 2));
    for (int32_t i = 1; i < 1 + hex; i += 2) {
        const int hi = hex_digit(frame[i]), lo = hex_digit(frame[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes.push_back(uint8_t(hi * 16 + lo));
    }
    out.unit = bytes[0];
    out.pdu.assign(bytes.begin() + 1, bytes.end());
    return true;
}

bool tcp_frame_pdu(const uint8_t *frame, int32_t n, Frame_pdu &out)
{
    if (!frame || n < 8)
        return false;
    out.unit = frame[6];
    out.pdu.assign(frame + 7, frame + n);
    return true;
}

Answer_verdict judge_answer(const Frame_pdu &request, const Frame_pdu &answer)
{
    const std::vector<uint8_t> &q = request.pdu, &a = answer.pdu;
    if (q.empty() || a.empty())
        return bad("no function code");
    if (answer.unit != request.unit)
        return bad(strformat("answer from unit %d", int(answer.unit)));
    const uint8_t code = q[0];
    if (a[0] == (code | 0x80)) {
        if (a.size() != 2)
            return bad(strformat("exception answer of %d bytes", int(a.size()) + 1));
        Answer_verdict v;
        v.kind = Answer_verdict::Exception;
        v.exception = a[1];
        return v;
    }
    if (a[0] != code)
        return bad(strformat("answer with function code %d", int(a[0])));
    switch (code) {
    case 1:
    case 2:
        return q.size() >= 5 ? counted(a, (word_at(q, 3) + 7) / 8) : bad("short request");
    case 3:
    case 4:
    case 23:
        return q.size() >= 5 ? counted(a, 2 * word_at(q, 3)) : bad("short request");
    case 5:
    case 6:
    case 15:
    case 16:
        return echo(q, a, 5);
    case 22:
        return echo(q, a, 7);
    case 17:
        return counted(a, -1);
    case 43:
        return identity_shape(q, a);
    default:
        return bad(strformat("no answer layout for function code %d", int(code)));
    }
}

std::vector<uint8_t> answer_report(const Frame_pdu &answer)
{
    const std::vector<uint8_t> &a = answer.pdu;
    if (a.size() < 2)
        return {};
    return std::vector<uint8_t>(a.begin() + 2, a.begin() + 2 + std::min<size_t>(a[1], a.size() - 2));
}

bool answer_identity(const Frame_pdu &answer, Identity_part &out)
{
    // 43, 14, read code, conformity, more follows, next object, object count,
    // then id, length, value for each object.
    const std::vector<uint8_t> &a = answer.pdu;
    out = {};
    if (a.size() < 7)
        return false;
    out.more = a[4] == 0xFF;
    out.next = a[5];
    const int count = a[6];
    size_t at = 7;
    for (int i = 0; i < count; ++i) {
        if (at + 2 > a.size())
            return false;
        const uint8_t id = a[at];
        const size_t len = a[at + 1];
        if (at + 2 + len > a.size())
            return false;
        out.objects.push_back({id, std::string(a.begin() + long(at) + 2, a.begin() + long(at + 2 + len))});
        at += 2 + len;
    }
    return at == a.size();
}

std::string identity_object_name(uint8_t id)
{
    switch (id) {
    case 0: return "VendorName";
    case 1: return "ProductCode";
    case 2: return "MajorMinorRevision";
    default: return "Object " + std::to_string(id);
    }
}
