#include "Query.h"

#include "corvane.h"

namespace {

bool supported(uint32_t function) { return function >= 1 && function <= 6; }

// The data field: the count for reads, ON/OFF for a coil, the register value.
uint16_t data_field(uint32_t function, uint16_t count, uint16_t value)
{
    switch (function) {
    case 5: return value != 0 ? 0xFF00 : 0x0000;
    case 6: return value;
    default: return count;
    }
}

}  // namespace

int32_t prepare_rtu_query(uint32_t function, uint8_t device, uint16_t address, uint16_t count,
                          uint16_t value, int32_t *length, uint8_t *buffer)
{
    if (!supported(function))
        return -1;
    const uint16_t wire = static_cast<uint16_t>(address - 1);
    const uint16_t data = data_field(function, count, value);
    buffer[0] = device;
    buffer[1] = static_cast<uint8_t>(function);
    buffer[2] = static_cast<uint8_t>(wire >> 8);
    buffer[3] = static_cast<uint8_t>(wire);
    buffer[4] = static_cast<uint8_t>(data >> 8);
    buffer[5] = static_cast<uint8_t>(data);
    CRC_check(buffer, 6, buffer + 6);
    *length = 8;
    return 0;
}

int32_t prepare_tcp_query(uint32_t function, uint8_t device, uint16_t address, uint16_t count,
                          uint16_t value, int32_t *length, uint8_t *buffer)
{
    for (int i = 0; i < 6; ++i)
        buffer[i] = 0;
    if (!supported(function))
        return -1;
    const uint16_t wire = static_cast<uint16_t>(address - 1);
    const uint16_t data = data_field(function, count, value);
    buffer[5] = 6;
    buffer[6] = device;
    buffer[7] = static_cast<uint8_t>(function);
    buffer[8] = static_cast<uint8_t>(wire >> 8);
    buffer[9] = static_cast<uint8_t>(wire);
    buffer[10] = static_cast<uint8_t>(data >> 8);
    buffer[11] = static_cast<uint8_t>(data);
    *length = 12;
    return 0;
}

int32_t prepare_ascii_query(uint32_t function, uint16_t device, uint16_t address, uint16_t count,
                            uint16_t value, int32_t *length, char *buffer)
{
    buffer[0] = ':';
    if (!supported(function) || device > 255)
        return -1;
    const uint16_t wire = static_cast<uint16_t>(address - 1);
    itascxr(device, -2, buffer + 1);
    itascxr(static_cast<uint16_t>(function & 0xFF), -2, buffer + 3);
    itascxr(wire, -4, buffer + 5);
    itascxr(data_field(function, count, value), -4, buffer + 9);
    LRC_check(buffer + 1, 12, buffer + 13);
    buffer[15] = '\r';
    buffer[16] = '\n';
    *length = 17;
    return 0;
}

// ---- block writes -----------------------------------------------------------
namespace {

// Function, start, count, byte count and data of a block write.
constexpr int kMaxBlockPdu = 6 + kMaxWriteCoils / 8;  // 252; 123 registers take 252 too

struct BlockPdu {
    uint8_t bytes[kMaxBlockPdu] = {};
    int length = 0;
};

void block_header(BlockPdu &pdu, uint8_t function, uint16_t address, uint16_t count, int dataBytes)
{
    const uint16_t wire = static_cast<uint16_t>(address - 1);
    pdu.bytes[0] = function;
    pdu.bytes[1] = static_cast<uint8_t>(wire >> 8);
    pdu.bytes[2] = static_cast<uint8_t>(wire);
    pdu.bytes[3] = static_cast<uint8_t>(count >> 8);
    pdu.bytes[4] = static_cast<uint8_t>(count);
    pdu.bytes[5] = static_cast<uint8_t>(dataBytes);
    pdu.length = 6 + dataBytes;
}

bool coils_pdu(uint16_t address, uint16_t count, const uint8_t *bits, BlockPdu &pdu)
{
    if (count < 1 || count > kMaxWriteCoils || !bits)
        return false;
    const int dataBytes = (count + 7) / 8;
    block_header(pdu, 15, address, count, dataBytes);
    // The first coil is the lowest bit of the first byte.
    for (int i = 0; i < count; ++i)
        if (bits[i])
            pdu.bytes[6 + i / 8] = static_cast<uint8_t>(pdu.bytes[6 + i / 8] | 1u << (i % 8));
    return true;
}

bool registers_pdu(uint16_t address, uint16_t count, const uint16_t *words, BlockPdu &pdu)
{
    if (count < 1 || count > kMaxWriteRegisters || !words)
        return false;
    block_header(pdu, 16, address, count, 2 * count);
    for (int i = 0; i < count; ++i) {
        pdu.bytes[6 + 2 * i] = static_cast<uint8_t>(words[i] >> 8);
        pdu.bytes[7 + 2 * i] = static_cast<uint8_t>(words[i]);
    }
    return true;
}

int32_t rtu_frame(bool built, uint8_t device, const uint8_t *pdu, int pduLength, int32_t *length, uint8_t *buffer)
{
    if (!built)
        return -1;
    buffer[0] = device;
    for (int i = 0; i < pduLength; ++i)
        buffer[1 + i] = pdu[i];
    CRC_check(buffer, 1 + pduLength, buffer + 1 + pduLength);
    *length = 1 + pduLength + 2;
    return 0;
}

int32_t rtu_frame(bool built, uint8_t device, const BlockPdu &pdu, int32_t *length, uint8_t *buffer)
{
    return rtu_frame(built, device, pdu.bytes, pdu.length, length, buffer);
}

int32_t ascii_frame(bool built, uint16_t device, const uint8_t *pdu, int pduLength, int32_t *length, char *buffer)
{
    buffer[0] = ':';
    if (!built || device > 255)
        return -1;
    itascxr(device, -2, buffer + 1);
    for (int i = 0; i < pduLength; ++i)
        itascxr(pdu[i], -2, buffer + 3 + 2 * i);
    const int hex = 2 + 2 * pduLength;
    LRC_check(buffer + 1, hex, buffer + 1 + hex);
    buffer[3 + hex] = '\r';
    buffer[4 + hex] = '\n';
    *length = 5 + hex;
    return 0;
}

int32_t ascii_frame(bool built, uint16_t device, const BlockPdu &pdu, int32_t *length, char *buffer)
{
    return ascii_frame(built, device, pdu.bytes, pdu.length, length, buffer);
}

int32_t tcp_frame(bool built, uint8_t device, const uint8_t *pdu, int pduLength, int32_t *length, uint8_t *buffer)
{
    for (int i = 0; i < 6; ++i)
        buffer[i] = 0;
    if (!built)
        return -1;
    const int follows = 1 + pduLength;  // unit identifier and the PDU
    buffer[4] = static_cast<uint8_t>(follows >> 8);
    buffer[5] = static_cast<uint8_t>(follows);
    buffer[6] = device;
    for (int i = 0; i < pduLength; ++i)
        buffer[7 + i] = pdu[i];
    *length = 6 + follows;
    return 0;
}

int32_t tcp_frame(bool built, uint8_t device, const BlockPdu &pdu, int32_t *length, uint8_t *buffer)
{
    return tcp_frame(built, device, pdu.bytes, pdu.length, length, buffer);
}

}  // namespace

int32_t prepare_rtu_write_coils(uint8_t device, uint16_t address, uint16_t count, const uint8_t *bits,
                                int32_t *length, uint8_t *buffer)
{
    BlockPdu pdu;
    const bool built = coils_pdu(address, count, bits, pdu);
    return rtu_frame(built, device, pdu, length, buffer);
}

int32_t prepare_rtu_write_registers(uint8_t device, uint16_t address, uint16_t count, const uint16_t *words,
                                    int32_t *length, uint8_t *buffer)
{
    BlockPdu pdu;
    const bool built = registers_pdu(address, count, words, pdu);
    return rtu_frame(built, device, pdu, length, buffer);
}

int32_t prepare_ascii_write_coils(uint16_t device, uint16_t address, uint16_t count, const uint8_t *bits,
                                  int32_t *length, char *buffer)
{
    BlockPdu pdu;
    const bool built = coils_pdu(address, count, bits, pdu);
    return ascii_frame(built, device, pdu, length, buffer);
}

int32_t prepare_ascii_write_registers(uint16_t device, uint16_t address, uint16_t count, const uint16_t *words,
                                      int32_t *length, char *buffer)
{
    BlockPdu pdu;
    const bool built = registers_pdu(address, count, words, pdu);
    return ascii_frame(built, device, pdu, length, buffer);
}

int32_t prepare_tcp_write_coils(uint8_t device, uint16_t address, uint16_t count, const uint8_t *bits,
                                int32_t *length, uint8_t *buffer)
{
    BlockPdu pdu;
    const bool built = coils_pdu(address, count, bits, pdu);
    return tcp_frame(built, device, pdu, length, buffer);
}

int32_t prepare_tcp_write_registers(uint8_t device, uint16_t address, uint16_t count, const uint16_t *words,
                                    int32_t *length, uint8_t *buffer)
{
    BlockPdu pdu;
    const bool built = registers_pdu(address, count, words, pdu);
    return tcp_frame(built, device, pdu, length, buffer);
}

// ---- any request ------------------------------------------------------------
namespace {

bool pdu_fits(const uint8_t *pdu, int32_t n, int32_t max) { return pdu && n >= 1 && n <= max; }

void put_word(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

}  // namespace

int32_t prepare_rtu_frame(uint8_t device, const uint8_t *pdu, int32_t n, int32_t *length, uint8_t *buffer)
{
    return rtu_frame(pdu_fits(pdu, n, kMaxPdu), device, pdu, n, length, buffer);
}

int32_t prepare_ascii_frame(uint16_t device, const uint8_t *pdu, int32_t n, int32_t *length, char *buffer)
{
    return ascii_frame(pdu_fits(pdu, n, kMaxAsciiPdu), device, pdu, n, length, buffer);
}

int32_t prepare_tcp_frame(uint8_t device, const uint8_t *pdu, int32_t n, int32_t *length, uint8_t *buffer)
{
    return tcp_frame(pdu_fits(pdu, n, kMaxPdu), device, pdu, n, length, buffer);
}

int32_t mask_write_pdu(uint16_t address, uint16_t andMask, uint16_t orMask, uint8_t *pdu)
{
    pdu[0] = 22;
    put_word(pdu + 1, static_cast<uint16_t>(address - 1));
    put_word(pdu + 3, andMask);
    put_word(pdu + 5, orMask);
    return 7;
}

int32_t read_write_pdu(uint16_t readAddress, uint16_t readCount, uint16_t writeAddress, uint16_t writeCount,
                       const uint16_t *words, uint8_t *pdu)
{
    if (readCount < 1 || readCount > kMaxReadWriteRead || writeCount < 1 || writeCount > kMaxReadWriteWrite ||
        !words)
        return -1;
    pdu[0] = 23;
    put_word(pdu + 1, static_cast<uint16_t>(readAddress - 1));
    put_word(pdu + 3, readCount);
    put_word(pdu + 5, static_cast<uint16_t>(writeAddress - 1));
    put_word(pdu + 7, writeCount);
    pdu[9] = static_cast<uint8_t>(2 * writeCount);
    for (int i = 0; i < writeCount; ++i)
        put_word(pdu + 10 + 2 * i, words[i]);
    return 10 + 2 * writeCount;
}

int32_t identify_pdu(uint8_t code, uint8_t object, uint8_t *pdu)
{
    pdu[0] = 43;
    pdu[1] = 14;
    pdu[2] = code;
    pdu[3] = object;
    return 4;
}

int32_t report_id_pdu(uint8_t *pdu)
{
    pdu[0] = 17;
    return 1;
}
