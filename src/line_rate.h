/* The serial line's rates and its character time: the one table of the
 * rates a termios port is set to, and how long one character takes on the
 * line. Shared by the POSIX back end, the device simulator and the
 * preloaded port shims of the tests, so it is plain C. */
#pragma once

#ifndef _WIN32
#include <termios.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One character on the line, in nanoseconds: a start bit, the data bits,
 * a parity bit if any and the stop bits (1 or 2). */
static inline long long LineCharacterNs(unsigned long bitsPerSecond, int dataBits, int hasParity, int stopBits) {
    const long long bits = 1 + dataBits + (hasParity ? 1 : 0) + stopBits;
    return bits * 1000000000LL / (long long)(bitsPerSecond ? bitsPerSecond : 1);
}

#ifndef _WIN32
struct LineRate {
    unsigned long bitsPerSecond;
    speed_t speed;
};

static const struct LineRate kLineRates[] = {
    {300, B300},     {600, B600},     {1200, B1200},   {2400, B2400},   {4800, B4800},
    {9600, B9600},   {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
};

/* The termios speed of a rate in bit/s; B0 for a rate not in the table. */
static inline speed_t LineSpeedFor(unsigned long bitsPerSecond) {
    for (unsigned i = 0; i < sizeof kLineRates / sizeof kLineRates[0]; ++i)
        if (kLineRates[i].bitsPerSecond == bitsPerSecond) return kLineRates[i].speed;
    return B0;
}

/* The rate in bit/s of a termios speed; 0 for a speed not in the table. */
static inline unsigned long LineRateOf(speed_t speed) {
    for (unsigned i = 0; i < sizeof kLineRates / sizeof kLineRates[0]; ++i)
        if (kLineRates[i].speed == speed) return kLineRates[i].bitsPerSecond;
    return 0;
}

/* One character's time for a terminal's settings; 0 for a rate not in the table. */
static inline long long LineCharacterNsOf(const struct termios* t) {
    const unsigned long rate = LineRateOf(cfgetospeed(t));
    const tcflag_t size = t->c_cflag & CSIZE;
    const int dataBits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    if (rate == 0) return 0;
    return LineCharacterNs(rate, dataBits, (t->c_cflag & PARENB) != 0, (t->c_cflag & CSTOPB) ? 2 : 1);
}

#endif /* _WIN32 */

#ifdef __cplusplus
}
#endif
