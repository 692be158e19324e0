// Test kit: the line settings set up and read back from a second descriptor.
#include "line_check.h"

#include <gtest/gtest.h>

#include <cstring>

void ExpectRawLine(int fd, const ExpectedLine& line) {
    termios t;
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), line.speed);
    EXPECT_EQ(cfgetispeed(&t), line.speed);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, line.crtscts);
    EXPECT_EQ((t.c_iflag & IXON) != 0, line.ixon);
    EXPECT_EQ((t.c_iflag & IXOFF) != 0, line.ixoff);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_cc[VSTART], 0x11);
    EXPECT_EQ(t.c_cc[VSTOP], 0x13);
}

void MakeCooked(int fd) {
    termios t;
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    t.c_iflag |= ICRNL | IXON | IXOFF;
    t.c_oflag |= OPOST | ONLCR;
    t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
    t.c_cc[VMIN] = 1;
    t.c_cc[VSTART] = 0x01;
    t.c_cc[VSTOP] = 0x02;
    cfsetispeed(&t, B2400);
    cfsetospeed(&t, B2400);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
}

void SetLine(int fd, speed_t speed, tcflag_t extraIflag) {
    termios t;
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    cfmakeraw(&t);
    t.c_iflag |= extraIflag;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
}

termios SettingsOf(int fd) {
    termios t{};
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    return t;
}

void ExpectSettingsKept(const termios& before, int fd, bool wholeTerminal) {
    const termios after = SettingsOf(fd);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(cfgetispeed(&after), cfgetispeed(&before));
    EXPECT_EQ(after.c_cc[VSTART], before.c_cc[VSTART]);
    EXPECT_EQ(after.c_cc[VSTOP], before.c_cc[VSTOP]);
    if (!wholeTerminal) {
        const tcflag_t line = CSIZE | PARENB | CSTOPB | CRTSCTS;
        EXPECT_EQ(after.c_cflag & line, before.c_cflag & line);
        EXPECT_EQ(after.c_iflag & (IXON | IXOFF), before.c_iflag & (IXON | IXOFF));
        return;
    }
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(0, std::memcmp(after.c_cc, before.c_cc, sizeof after.c_cc));
}
