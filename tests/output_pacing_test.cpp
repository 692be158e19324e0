// The drain window's rule for a driver whose output queue is no count of
// bytes: what the queue reads after the writes decides whether it is
// believed, and the window that the line clock then keeps.
#include <gtest/gtest.h>

#include <vector>

#include "output_pacing.h"

namespace {

struct QueueCase {
    const char* name;
    long long charNs;
    std::vector<long long> readings;  // the queue after each write; -1: no write, the reading alone
    bool countsBytes;
    int window;
};

void PrintTo(const QueueCase& c, std::ostream* os) { *os << c.name; }

class QueueRule : public ::testing::TestWithParam<QueueCase> {};

TEST_P(QueueRule, AQueueAboveTheBytesSinceItWasEmptyIsNoCount) {
    const QueueCase& c = GetParam();
    OutputPacing pacing;
    pacing.Reset(c.charNs);
    long long now = 1000000;
    for (long long queued : c.readings) {
        if (queued >= 0) pacing.Written(now += c.charNs);
        pacing.Queued(queued < 0 ? 0 : queued);
    }
    EXPECT_EQ(pacing.queueCountsBytes, c.countsBytes);
    EXPECT_EQ(pacing.Window(), c.window);
    if (!c.countsBytes) {
        EXPECT_FALSE(pacing.Held(10240, pacing.Window()));  // the clock paces, not the queue
        EXPECT_LE(pacing.Window() + (OutputPacing::kUsbFrameNs + c.charNs - 1) / c.charNs, OutputPacing::kFifo);
    }
}

constexpr long long k9600 = 1041666, k38400 = 260416, k300 = 33333333;

INSTANTIATE_TEST_SUITE_P(
    Drivers, QueueRule,
    ::testing::Values(QueueCase{"UartEmptyAtOnce", k38400, {0, 0, 0}, true, 1},
                      QueueCase{"UsbCountingItsBytes", k38400, {1, 2, 3, 0, 1}, true, 1},
                      QueueCase{"CdcAcmAt38400", k38400, {10240}, false, 11},
                      QueueCase{"CdcAcmAt9600", k9600, {10240, 10240, -1}, false, 14},
                      QueueCase{"CdcAcmAt300", k300, {10240}, false, 15},
                      QueueCase{"OneMoreThanSinceEmpty", k38400, {1, 2, -1, 2}, false, 11},
                      QueueCase{"StaysNoCountOnceSeen", k38400, {20480, -1, 1}, false, 11}),
    [](const ::testing::TestParamInfo<QueueCase>& info) { return info.param.name; });

}  // namespace
