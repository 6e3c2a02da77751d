/*
 * Corvane - serial link, checksum and clock library.
 *
 * Plain C interface. Every function runs on the caller's thread and reports by
 * its result; nothing is thrown and no pointer to the caller's memory is kept.
 */
#ifndef CORVANE_H
#define CORVANE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(CORVANE_BUILD)
#define CORVANE_API __attribute__((visibility("default")))
#else
#define CORVANE_API
#endif

/* ---- checksums and text codecs ---------------------------------------- */

/* Folds one byte into a running Modbus CRC-16 (reflected, polynomial 0xA001). */
CORVANE_API void CRC_calc(uint8_t data, uint16_t *crc);
/* CRC-16 of n bytes (none when n <= 0) written to out[0] (low) and out[1] (high). */
CORVANE_API void CRC_check(const uint8_t *buf, int32_t n, uint8_t *out);
/* LRC of n hexadecimal characters written as two upper-case characters to out.
 * Lower-case pairs of the input are upper-cased in place. */
CORVANE_API void LRC_check(char *text, int32_t n, char *out);
/* value as |width| hexadecimal characters (negative width: zero padded,
 * positive: blank padded). 0 when it fitted, -1 (and '*' characters) when not. */
CORVANE_API int32_t itascxr(uint16_t value, int16_t width, char *out);
/* Hexadecimal text (at most limit characters, up to a NUL) to a 16-bit value.
 * 0 success, -1 no digits or a non-hexadecimal character, -2 more than 4 digits.
 * Digits are upper-cased in place; *result is written only on success. */
CORVANE_API int16_t ascxti(char *text, int16_t limit, uint16_t *result);
/* Bit field lo..hi of the 32-bit little-endian word at word. */
CORVANE_API uint16_t bitrd(uint32_t *word, int16_t lo, int16_t hi);
CORVANE_API int32_t bitwt(uint32_t *word, int16_t lo, int16_t hi, int16_t value);

/* ---- serial ports and clock ------------------------------------------- */

/* Port n (0..13) is COMn:, the device /dev/ttyS<n-1> unless $CORVANE_COMn
 * names one. seropen takes the device for exclusive use; a port number outside
 * 0..13 is refused by seropen (with its box) and fails quietly elsewhere.
 * serrecv waits at most about 3 ms for a byte, serread and serloc never wait,
 * serwrite waits at most n + 2 ms, serclose takes 100 ms. serfd gives the
 * descriptor of an open port (or -1), so that a caller can wait for input on
 * it (poll, an event loop's notifier) instead of polling serloc; the caller
 * only watches it and never reads, writes, changes or closes it itself. */
CORVANE_API int32_t seropen(int32_t port, int32_t baud, char parity, int32_t databits,
                            int32_t stopbits, int32_t handshake);          /* 1 ok, 0 failed */
CORVANE_API int32_t serclose(int32_t port);                                /* 1 ok, 0 not open */
CORVANE_API int32_t serwrite(int32_t port, const void *buf, int32_t n);   /* bytes written */
CORVANE_API int32_t sersend(int32_t port, int32_t byte);                   /* 0 sent, 1 failed */
CORVANE_API int16_t serrecv(int32_t port);                                 /* byte or -1 */
CORVANE_API int32_t serread(int32_t port, void *buf, int32_t size);       /* bytes read */
CORVANE_API void serflush(int32_t port);
CORVANE_API int32_t serloc(int32_t port);                                  /* bytes queued */
CORVANE_API int32_t serfd(int32_t port);                                   /* descriptor or -1 */
CORVANE_API int32_t tsleep(int32_t ms);
CORVANE_API int32_t get_date_time(int16_t *year, int16_t *month, int16_t *day, int16_t *hour,
                                  int16_t *minute, int16_t *second, int16_t *msec,
                                  int16_t *dayofweek);
/* Sets the local time (milliseconds 0): 0 accepted, -1 refused by the system. */
CORVANE_API int32_t set_date_time(int32_t year, int32_t month, int32_t day, int32_t hour,
                                  int32_t minute, int32_t second);

/* The library's own message boxes ("Unable to open port COM1:" ...) go to this
 * handler; with none installed they are written to stderr. */
typedef void (*corvane_message_handler)(const char *text, const char *caption, void *user);
CORVANE_API void corvane_set_message_handler(corvane_message_handler handler, void *user);

#ifdef __cplusplus
}
#endif

#endif /* CORVANE_H */
