// Test support: what a descriptor of the port's terminal must read back once
// the program has set the line up, for either build of the program.
#pragma once

#include <termios.h>

struct ExpectedLine {
    speed_t speed;
    bool crtscts, ixon, ixoff;
};

// Raw 8N1 with the receiver on, at the speed and with the handshaking
// given, XON 0x11 and XOFF 0x13. Adds a test failure for every difference.
void ExpectRawLine(int fd, const ExpectedLine& line);
