// Helpers shared by the slave tests: frames from hexadecimal text, table
// set-up and checks in a small notation, and the engine's events as a trace.
//
// Table notation, items separated by ';':
//   C<n>  coil n on          R<n>  input relay n on
//   H<n>=<hex>  holding register n     I<n>=<hex>  input register n
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <vector>

#include "Slave_engine.h"
#include "Slave_tables.h"

inline QByteArray hexBytes(const QString &hex) { return QByteArray::fromHex(hex.toLatin1()); }

inline QString spaced(const QByteArray &b)
{
    QString s;
    for (char c : b)
        s += QString::asprintf("%02X ", unsigned(uint8_t(c)));
    return s;
}

inline QString spaced(const std::vector<uint8_t> &b)
{
    return spaced(QByteArray(reinterpret_cast<const char *>(b.data()), qsizetype(b.size())));
}

// Checksums for the random requests only, written here from their definition
// so that they do not share a fault with the library's: the Modbus CRC-16
// (reflected polynomial 0xA001, start 0xFFFF, low byte first) and the LRC
// (two's complement of the byte sum). Fixed frames in the tests are literals.
inline QByteArray referenceCrc(const QByteArray &b)
{
    uint16_t crc = 0xFFFF;
    for (char c : b) {
        crc ^= uint8_t(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    QByteArray out;
    out.append(char(crc & 0xFF));
    out.append(char(crc >> 8));
    return out;
}

inline QByteArray referenceLrc(const QByteArray &bytes)
{
    uint8_t sum = 0;
    for (char c : bytes)
        sum = uint8_t(sum + uint8_t(c));
    return QByteArray::number(uint8_t(-sum), 16).rightJustified(2, '0').toUpper();
}

inline void applyTables(SlaveTables &t, const QString &contents)
{
    for (const QString &item : contents.split(';', Qt::SkipEmptyParts)) {
        const QChar k = item[0];
        const QStringList parts = item.mid(1).split('=');
        const uint16_t n = uint16_t(parts[0].toUInt());
        const uint16_t v = parts.size() > 1 ? uint16_t(parts[1].toUInt(nullptr, 16)) : 1;
        if (k == 'C')
            t.WriteCoil(n, v);
        else if (k == 'R')
            t.WriteInputRelay(n, v);
        else if (k == 'H')
            t.holdingRegisters[n] = v;
        else if (k == 'I')
            t.inputRegisters[n] = v;
    }
}

// Empty when the tables hold what contents says; else what differs.
inline QString checkTables(const SlaveTables &t, const QString &contents)
{
    QString diff;
    for (const QString &item : contents.split(';', Qt::SkipEmptyParts)) {
        const QChar k = item[0];
        const QStringList parts = item.mid(1).split('=');
        const uint16_t n = uint16_t(parts[0].toUInt());
        const uint16_t want = parts.size() > 1 ? uint16_t(parts[1].toUInt(nullptr, 16)) : 1;
        uint16_t got = 0;
        if (k == 'C')
            got = t.ReadCoil(n);
        else if (k == 'R')
            got = t.ReadInputRelay(n);
        else if (k == 'H')
            got = t.holdingRegisters[n];
        else if (k == 'I')
            got = t.inputRegisters[n];
        if (got != want)
            diff += QString("%1 is %2; ").arg(item).arg(got, 0, 16);
    }
    return diff;
}

// "clear", "1:<text>", "2:<text>", "send", "chg <kind> <index>".
inline QStringList trace(const SlaveReply &r)
{
    QStringList t;
    for (const SlaveEvent &e : r.events) {
        switch (e.type) {
        case SlaveEvent::ClearMemos: t << "clear"; break;
        case SlaveEvent::Log: t << QString("%1:%2").arg(e.memo).arg(QString::fromLatin1(e.text.c_str())); break;
        case SlaveEvent::Changed: t << QString("chg %1 %2").arg(e.kind).arg(e.index); break;
        case SlaveEvent::Send: t << "send"; break;
        }
    }
    return t;
}

// The trace less its memo events: what a caller that wants no texts gets.
inline QStringList traceWithoutTexts(const SlaveReply &r)
{
    QStringList t = trace(r);
    t.removeIf([](const QString &event) { return event == "clear" || event[1] == ':'; });
    return t;
}

// Only the memo lines of a trace.
inline QStringList memoLines(const QStringList &t, int memo)
{
    QStringList out;
    const QString prefix = QString::number(memo) + ":";
    for (const QString &s : t)
        if (s.startsWith(prefix))
            out << s.mid(prefix.size());
    return out;
}

inline SlaveReply serveBytes(const SlaveProfile &p, SlaveTables &t, const QByteArray &req)
{
    return serve_slave_request(p, t, reinterpret_cast<const uint8_t *>(req.constData()), size_t(req.size()));
}
