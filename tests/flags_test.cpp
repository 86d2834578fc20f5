#include "flags.h"

#include <gtest/gtest.h>

// The combination rule alone, on masks that no single command line makes;
// the display and every option are the end-to-end table's.
TEST(FlagModel, CombinationRule)
{
    const std::uint8_t cases[][5] = {
        // current, on, off, toggle, expected
        {0x00, 0x20, 0x20, 0x00, 0x00}, // off beats on
        {0x00, 0x20, 0x20, 0x20, 0x20}, // a flip applies after off
        {0xFF, 0x20, 0x00, 0x20, 0xDF}, // and after on
        {0x08, 0x00, 0x00, 0x01, 0x09}, // unnamed bits pass through
        {0xC8, 0x37, 0x37, 0x37, 0xFF}, // every mask at once
        {0xA5, 0x00, 0x00, 0x00, 0xA5}, // the empty request
    };
    for (const auto& c : cases) {
        EXPECT_EQ(applyFlagRequest(c[0], FlagRequest{c[1], c[2], c[3]}), c[4]) << int{c[0]};
    }
}
