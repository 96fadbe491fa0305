#include "support/text.h"

#include <gtest/gtest.h>

TEST(FormatText, NarrowArgumentBytesBecomeCharactersOfTheSameCode) {
    EXPECT_EQ(FormatText(L"Version %S", "1.2"), L"Version 1.2");
    EXPECT_EQ(FormatText(L"Version %S", "\xC3\xBC"), std::wstring(L"Version \u00C3\u00BC"));
}
