/* The line's clock for the preloaded shims that give a pseudo-terminal a
 * real port's output timing (bench/uart_shim.c, tests/wine/queue_shim.c):
 * the monotonic time, and how long one character takes at the settings the
 * program set. */
#pragma once

#include <termios.h>
#include <time.h>

static inline long long NowNs(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static inline long Rate(speed_t speed) {
    switch (speed) {
        case B300: return 300;
        case B600: return 600;
        case B1200: return 1200;
        case B2400: return 2400;
        case B4800: return 4800;
        case B9600: return 9600;
        case B19200: return 19200;
        case B38400: return 38400;
        case B57600: return 57600;
        case B115200: return 115200;
        default: return 0;
    }
}

/* Start bit, data bits, parity and stop bits; 0 for a rate not modelled. */
static inline long long CharacterNs(const struct termios* t) {
    long rate = Rate(cfgetospeed(t));
    if (rate == 0) return 0;
    int size = t->c_cflag & CSIZE;
    int dataBits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    int bits = 1 + dataBits + ((t->c_cflag & PARENB) ? 1 : 0) + ((t->c_cflag & CSTOPB) ? 2 : 1);
    return bits * 1000000000LL / rate;
}
