#include <gtest/gtest.h>

#include <string>

#include "monitor/latency_status.h"

namespace {

std::u16string Label(uint32_t value)
{
    char16_t buffer[kStatusLabelUnits + 8];
    for (auto& unit : buffer)
        unit = u'#';
    FormatStatusLabel(value, buffer);
    // Nothing may be written past the documented 8 units.
    for (uint32_t i = kStatusLabelUnits; i < sizeof buffer / sizeof buffer[0]; ++i)
        EXPECT_EQ(buffer[i], u'#') << "value " << value;
    return std::u16string(buffer);
}

struct Case {
    uint32_t samples[4];
    uint32_t display;
    const char16_t* label;
    uint16_t icon;
};

}  // namespace

TEST(LatencyStatus, SamplesToWhatTheUserSees)
{
    const Case cases[] = {
        {{999, 999, 999, 999}, 1332, u"1332ms", 132},  // start-up
        {{1999, 1999, 1999, 1999}, 2665, u"Timeout", 132},
        {{1999, 1999, 1999, 2}, 1999, u"1999ms", 132},
        {{1999, 1999, 1999, 3}, 2000, u"Timeout", 132},
        {{75, 75, 75, 75}, 100, u"100ms", 137},
        {{76, 76, 76, 76}, 101, u"101ms", 136},
        {{0, 0, 0, 0}, 0, u"0ms", 137},
        {{20, 20, 20, 20}, 26, u"26ms", 137},
        {{20, 999, 999, 999}, 1005, u"1005ms", 132},
        {{20, 20, 999, 999}, 679, u"679ms", 141},
        {{20, 20, 20, 999}, 353, u"353ms", 134},
        {{1, 2, 0, 0}, 1, u"1ms", 137},
    };
    for (const Case& c : cases) {
        uint32_t display = ComputeDisplayValue(c.samples[0], c.samples[1], c.samples[2], c.samples[3]);
        EXPECT_EQ(display, c.display);
        EXPECT_EQ(Label(display), std::u16string(c.label));
        EXPECT_EQ(SelectStatusIcon(display), c.icon) << display;
    }
}

TEST(LatencyStatus, IconBandEdges)
{
    const struct {
        uint32_t value;
        uint16_t icon;
    } edges[] = {{0, 137},   {100, 137}, {101, 136}, {150, 136}, {151, 135}, {250, 135},
                 {251, 134}, {450, 134}, {451, 133}, {650, 133}, {651, 141}, {900, 141},
                 {901, 132}, {1999, 132}, {2000, 132}, {0xFFFFFFFFu, 132}};
    for (const auto& edge : edges)
        EXPECT_EQ(SelectStatusIcon(edge.value), edge.icon) << edge.value;
}

TEST(LatencyStatus, LabelEdgesAndLength)
{
    EXPECT_EQ(Label(9), u"9ms");
    EXPECT_EQ(Label(10), u"10ms");
    EXPECT_EQ(Label(1000), u"1000ms");
    EXPECT_EQ(Label(1999), u"1999ms");
    EXPECT_EQ(Label(2000), u"Timeout");
    EXPECT_EQ(Label(0xFFFFFFFFu), u"Timeout");
    // Every value fits the 8-unit buffer, terminator included.
    for (uint32_t value = 0; value <= 2100; ++value)
        EXPECT_LE(Label(value).size(), 7u) << value;
}
