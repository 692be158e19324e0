// The drain window's rule for a driver whose output queue is no count of
// bytes: what the queue reads after the writes decides whether it is
// believed, and the window that the line clock then keeps.
#include <gtest/gtest.h>

#include <vector>

#include "case_table.h"
#include "output_pacing.h"

namespace {

constexpr long long k9600 = 1041666, k38400 = 260416, k300 = 33333333;

struct QueueCase {
    const char* name;
    long long charNs;
    std::vector<long long> readings;  // the queue after each write; -1: no write, the reading alone
    bool countsBytes;
    int window;
};

CASE_TABLE(QueueRule, QueueCase);

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

INSTANTIATE_TEST_SUITE_P(
    Drivers, QueueRule,
    ::testing::Values(QueueCase{"UartEmptyAtOnce", k38400, {0, 0, 0}, true, 1},
                      QueueCase{"UsbCountingItsBytes", k38400, {1, 2, 3, 0, 1}, true, 1},
                      QueueCase{"CdcAcmAt38400", k38400, {10240}, false, 11},
                      QueueCase{"CdcAcmAt9600", k9600, {10240, 10240, -1}, false, 14},
                      QueueCase{"CdcAcmAt300", k300, {10240}, false, 15},
                      QueueCase{"OneMoreThanSinceEmpty", k38400, {1, 2, -1, 2}, false, 11},
                      QueueCase{"StaysNoCountOnceSeen", k38400, {20480, -1, 1}, false, 11}),
    CaseName());

// A driver that had no room for a byte: where the queue counts bytes the
// line may have been idle meanwhile; where it is no count, the driver's
// buffers were full, so the line was busy and the clock keeps the time.
struct BusyCase {
    const char* name;
    long long queue;  // what the queue read after the first write
    long long lineFreeAfter;  // in characters from the first write
};

CASE_TABLE(BusyDriver, BusyCase);

TEST_P(BusyDriver, TheClockKeepsTheWaitOnlyWhereTheQueueIsNoCount) {
    const BusyCase& c = GetParam();
    OutputPacing pacing;
    pacing.Reset(k38400);
    const long long start = 1000000;
    pacing.Written(start);
    pacing.Queued(c.queue);
    // Held from the second character until the tenth, then taken.
    pacing.Written(start + 10 * k38400, start + 2 * k38400);
    EXPECT_EQ(pacing.lineFree, start + c.lineFreeAfter * k38400);
}

INSTANTIATE_TEST_SUITE_P(Queues, BusyDriver,
                         ::testing::Values(BusyCase{"CountingBytes", 1, 11}, BusyCase{"NoCount", 10240, 3}),
                         CaseName());

}  // namespace
