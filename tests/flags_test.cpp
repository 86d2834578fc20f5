#include "flags.h"

#include <gtest/gtest.h>

// The combination rule alone, on bytes and masks the command line cannot
// make in one run; the display and every option are the end-to-end table's.
TEST(FlagModel, CombinationRule)
{
    const struct {
        int current, on, off, toggle, expected;
    } cases[] = {
        {0x00, 0x20, 0x20, 0x00, 0x00}, // off beats on
        {0x00, 0x20, 0x20, 0x20, 0x20}, // a flip applies after off
        {0xFF, 0x20, 0x00, 0x20, 0xDF}, // and after on
        {0x08, 0x00, 0x00, 0x01, 0x09}, // unnamed bits pass through
        {0xC8, 0x37, 0x37, 0x37, 0xFF}, // every mask at once
        {0xA5, 0x00, 0x00, 0x00, 0xA5}, // the empty request
    };
    for (const auto& c : cases) {
        const FlagRequest request{static_cast<std::uint8_t>(c.on), static_cast<std::uint8_t>(c.off),
                                  static_cast<std::uint8_t>(c.toggle)};
        EXPECT_EQ(applyFlagRequest(static_cast<std::uint8_t>(c.current), request), c.expected) << c.current;
        EXPECT_EQ(isEmpty(request), c.on == 0 && c.off == 0 && c.toggle == 0);
    }
}
