// Test support: the line settings read back from a second descriptor.
#include "line_check.h"

#include <gtest/gtest.h>

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
