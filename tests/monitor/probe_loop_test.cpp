#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "monitor/latency_status.h"
#include "monitor/probe_loop.h"
#include "monitor/probe_target.h"
#include "monitor/refresh_loop.h"
#include "monitor/stop.h"
#include "tests/monitor/fake_probe_ops.h"

namespace {

constexpr uint32_t kIpStatusDestHostUnreachable = 11003;
constexpr uint32_t kIpStatusTtlExpired = 11013;

class ProbeLoopTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetFake();
        ASSERT_EQ(OpenProbeTarget(u"127.0.0.1"), 0);
    }
};

}  // namespace

TEST_F(ProbeLoopTest, StoresOutcomesInSlotOrderWithTheirPauses)
{
    Script(1, 0, 20);     // reply
    Script(1, 0, 0);      // reply in under a millisecond is still a reply
    Script(0, 0, 0);      // time-out
    Script(1, kIpStatusDestHostUnreachable, 0);  // ICMP error: no reply
    Script(2, 0, 7);      // more than one reply record: the first counts
    Script(1, kIpStatusTtlExpired, 5);

    ProbeLoop();

    ASSERT_EQ(Fake.requests, 6u);
    const uint32_t expected[6][4] = {
        {20, 999, 999, 999}, {20, 0, 999, 999},   {20, 0, 1999, 999},
        {20, 0, 1999, 1999}, {7, 0, 1999, 1999},  {7, 1999, 1999, 1999},
    };
    // The pause after an ICMP error is still the reply pause: a count was
    // returned, and an error answer comes back as fast as a real one.
    const uint32_t pauses[6] = {1000, 1000, 100, 1000, 1000, 1000};
    ASSERT_EQ(Fake.pauseCount, 6u);
    for (uint32_t i = 0; i < 6; ++i) {
        EXPECT_EQ(Fake.pauses[i], pauses[i]) << "request " << i;
        for (uint32_t s = 0; s < 4; ++s)
            EXPECT_EQ(Fake.samplesAtPause[i][s], expected[i][s]) << "request " << i << " slot " << s;
    }
}

TEST_F(ProbeLoopTest, SendsTheSpecifiedRequest)
{
    Script(1, 0, 3);
    ProbeLoop();
    EXPECT_EQ(Fake.lastAddress, 0x0100007Fu);
    EXPECT_EQ(Fake.lastTimeout, 1500u);
    EXPECT_EQ(Fake.lastPayloadSize, 32u);
    EXPECT_TRUE(Fake.payloadAllZero);
    EXPECT_EQ(Fake.lastReplySize, 72u);
}

TEST_F(ProbeLoopTest, StopFlagIsHonouredBeforeAnyRequest)
{
    Script(1, 0, 3);
    StopFlag.store(1);
    ProbeLoop();
    RefreshLoop();
    EXPECT_EQ(Fake.requests, 0u);
    EXPECT_EQ(PublishedCount.load(), 0u);
}

TEST_F(ProbeLoopTest, TwentyMillisecondHostReachesFiveBars)
{
    for (int i = 0; i < 4; ++i)
        Script(1, 0, 20);
    ProbeLoop();
    uint32_t value = ComputeDisplayValue(LatencySamples[0], LatencySamples[1], LatencySamples[2],
                                         LatencySamples[3]);
    EXPECT_EQ(value, 26u);
    EXPECT_EQ(SelectStatusIcon(value), 137);
}

// The refresh loop's own rhythm: publish first, then one refresh-period
// pause per pass; a stop raised inside a pause ends the loop with no
// further publish or pause.
TEST_F(ProbeLoopTest, RefreshPublishesOncePerPeriodUntilStopped)
{
    Fake.stopAtPause = 3;
    RefreshLoop();
    ASSERT_EQ(Fake.pauseCount, 3u);
    EXPECT_EQ(PublishedCount.load(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(Fake.pauses[i], 500u) << "pass " << i;
        EXPECT_EQ(Fake.publishedAtPause[i], i + 1) << "pass " << i;
    }
}

// Both loops on their own threads, as in the program: under a thread
// sanitizer this shows the shared words are accessed safely, and that a
// stop ends both loops promptly.
TEST_F(ProbeLoopTest, BothLoopsStopTogether)
{
    for (uint32_t i = 0; i < kFakeCapacity; ++i)
        Script(1, 0, 40);
    std::thread probe([] { ProbeLoop(); });
    std::thread refresh([] { RefreshLoop(); });

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (LastPublished.load() != 53 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    RaiseStop();
    auto stopped = std::chrono::steady_clock::now();
    probe.join();
    refresh.join();

    EXPECT_EQ(LastPublished.load(), 53u);  // four 40 ms samples
    EXPECT_GE(PublishedCount.load(), 1u);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::milliseconds(500));
}
