#include "app/layout.h"

#include <gtest/gtest.h>

void PrintTo(const ControlRect& r, std::ostream* out) {
    *out << "(" << r.x << ", " << r.y << ", " << r.width << ", " << r.height << ")";
}

namespace {

struct LayoutCase {
    int dpi;
    ControlRect client;
    WindowLayout layout;
};

// 120 dpi checks MulDiv's rounding: 110 * 120 / 96 = 137.5 becomes 138.
const LayoutCase kLayoutCases[] = {
    {96, {0, 0, 520, 200},
     {{16, 16, 488, 30}, {16, 52, 488, 36}, {16, 92, 488, 18}, {16, 116, 488, 20},
      {16, 154, 110, 30}, {276, 154, 110, 30}, {394, 154, 110, 30}}},
    {120, {0, 0, 650, 250},
     {{20, 20, 610, 38}, {20, 65, 610, 45}, {20, 115, 610, 23}, {20, 145, 610, 25},
      {20, 192, 138, 38}, {344, 192, 138, 38}, {492, 192, 138, 38}}},
    {144, {0, 0, 780, 300},
     {{24, 24, 732, 45}, {24, 78, 732, 54}, {24, 138, 732, 27}, {24, 174, 732, 30},
      {24, 231, 165, 45}, {414, 231, 165, 45}, {591, 231, 165, 45}}},
};

}  // namespace

TEST(ComputeLayout, GivesTheExactRectanglesAtEachDpi) {
    for (const auto& c : kLayoutCases) {
        const ControlRect client = ClientSize(c.dpi);
        EXPECT_EQ(client, c.client) << c.dpi;
        const WindowLayout got = ComputeLayout(client.width, client.height, c.dpi);
        EXPECT_EQ(got.title, c.layout.title) << c.dpi;
        EXPECT_EQ(got.status, c.layout.status) << c.dpi;
        EXPECT_EQ(got.progress, c.layout.progress) << c.dpi;
        EXPECT_EQ(got.detail, c.layout.detail) << c.dpi;
        EXPECT_EQ(got.settings, c.layout.settings) << c.dpi;
        EXPECT_EQ(got.retry, c.layout.retry) << c.dpi;
        EXPECT_EQ(got.play, c.layout.play) << c.dpi;
    }
}

TEST(ComputeLayout, KeepsButtonsOnTheBottomEdgesOfAnyClientSize) {
    // An odd margin (S(16) = 17 at 102 dpi) truncates m / 2 toward zero.
    const WindowLayout got = ComputeLayout(600, 260, 102);
    EXPECT_EQ(got.settings, (ControlRect{17, 260 - 32 - 17, 117, 32}));
    EXPECT_EQ(got.play, (ControlRect{600 - 117 - 17, 211, 117, 32}));
    EXPECT_EQ(got.retry, (ControlRect{600 - 2 * (117 + 17) + 8, 211, 117, 32}));
    EXPECT_EQ(got.title.width, 600 - 34);
}
