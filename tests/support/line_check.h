// Test kit: the line settings of a port's terminal, set up by the test and
// read back from the test's own descriptor, for either build of the program.
#pragma once

#include <termios.h>

struct ExpectedLine {
    speed_t speed;
    bool crtscts, ixon, ixoff;
};

// Raw 8N1 with the receiver on, at the speed and with the handshaking
// given, XON 0x11 and XOFF 0x13. Adds a test failure for every difference.
void ExpectRawLine(int fd, const ExpectedLine& line);

// What a fresh login line has (canonical, echo, 7E2, 2400 bit/s, hardware
// and software handshaking, odd flow characters), so that only the program
// can make it raw, and so that settings left alone are easy to tell. (A
// pseudo-terminal keeps 8 data bits and no parity whatever it is told.)
void MakeCooked(int fd);
// Raw 8N1 at speed plus extra input flags: as a terminal program sets it.
void SetLine(int fd, speed_t speed, tcflag_t extraIflag = 0);

termios SettingsOf(int fd);
// The line settings are unchanged: the whole terminal, or (wholeTerminal
// false) only what a serial port holds: the speeds, the character format,
// the handshaking and its characters.
void ExpectSettingsKept(const termios& before, int fd, bool wholeTerminal = true);
