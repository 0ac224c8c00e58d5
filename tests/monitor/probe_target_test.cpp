#include <gtest/gtest.h>

#include <string>

#include "monitor/latency_status.h"
#include "monitor/probe_target.h"
#include "platform/probe_ops.h"
#include "tests/monitor/fake_probe_ops.h"

namespace {

class ProbeTargetTest : public ::testing::Test {
protected:
    void SetUp() override { ResetFake(); }
};

}  // namespace

TEST_F(ProbeTargetTest, SelectsFirstArgumentOrDefault)
{
    const char16_t* program = u"vimra.exe";
    const char16_t* one[] = {program, u"127.0.0.1"};
    const char16_t* several[] = {program, u"10.0.0.1", u"127.0.0.1", u"x"};
    const char16_t* none[] = {program};

    EXPECT_EQ(std::u16string(SelectTargetText(2, one)), u"127.0.0.1");
    EXPECT_EQ(std::u16string(SelectTargetText(4, several)), u"10.0.0.1");
    EXPECT_EQ(SelectTargetText(1, none), kDefaultTargetText);
    EXPECT_EQ(SelectTargetText(0, nullptr), kDefaultTargetText);

    // The default takes the same path as an argument and is a valid address.
    ASSERT_EQ(OpenProbeTarget(kDefaultTargetText), 0);
    EXPECT_NE(ProbeTarget.address, kAddressNone);
}

TEST_F(ProbeTargetTest, NarrowsToLowBytes)
{
    char narrow[kTargetTextCapacity];
    // 0x0131 and 0x0232 carry '1' and '2' in their low bytes.
    ASSERT_EQ(NarrowTargetText(u"\u0131\u00327.0.0.1", narrow), 0);
    EXPECT_STREQ(narrow, "127.0.0.1");
    // A unit whose low byte is zero ends the text, even if more follows.
    ASSERT_EQ(NarrowTargetText(u"127.0.0.1\u0100junk", narrow), 0);
    EXPECT_STREQ(narrow, "127.0.0.1");

    ASSERT_EQ(OpenProbeTarget(u"\u0131\u00327.0.0.1"), 0);
    EXPECT_STREQ(Fake.lastParsed, "127.0.0.1");
    EXPECT_EQ(ProbeTarget.address, 0x0100007Fu);
}

TEST_F(ProbeTargetTest, SuccessPreparesEverythingTheLoopNeeds)
{
    for (auto& slot : LatencySamples)
        slot.store(5);
    ASSERT_EQ(OpenProbeTarget(u"127.0.0.1"), 0);
    EXPECT_EQ(ProbeTarget.address, 0x0100007Fu);
    EXPECT_NE(ProbeTarget.echo, nullptr);
    EXPECT_NE(ProbeTarget.replyBuffer, nullptr);
    EXPECT_EQ(ProbeTarget.replyBufferSize, 72u);
    for (auto& slot : LatencySamples)
        EXPECT_EQ(slot.load(), 999u);
}

TEST_F(ProbeTargetTest, RejectsTextsThatAreNoAddress)
{
    std::u16string longest(255, u'1');
    std::u16string tooLong(256, u'1');
    const char16_t* rejected[] = {u"example.com", u"", u"255.255.255.255", tooLong.c_str(),
                                  u"\u0100127.0.0.1"};
    for (const char16_t* text : rejected) {
        ResetFake();
        EXPECT_EQ(OpenProbeTarget(text), 1);
        EXPECT_EQ(Fake.allocations, 0u);
    }

    // 255 characters fit exactly; 256 are refused rather than cut short.
    char narrow[kTargetTextCapacity + 1];
    narrow[kTargetTextCapacity] = '#';
    EXPECT_EQ(NarrowTargetText(longest.c_str(), narrow), 0);
    EXPECT_EQ(std::string(narrow).size(), 255u);
    EXPECT_EQ(NarrowTargetText(tooLong.c_str(), narrow), 1);
    EXPECT_EQ(narrow[kTargetTextCapacity], '#');
}

TEST_F(ProbeTargetTest, FailsWhenHandleOrBufferIsMissing)
{
    Fake.openEchoFails = true;
    EXPECT_EQ(OpenProbeTarget(u"127.0.0.1"), 1);
    EXPECT_EQ(LatencySamples[0].load(), 0u);

    ResetFake();
    Fake.allocationFails = true;
    EXPECT_EQ(OpenProbeTarget(u"127.0.0.1"), 1);
    EXPECT_EQ(LatencySamples[0].load(), 0u);
}
