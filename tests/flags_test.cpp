#include "flags.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
    int current, on, off, toggle, expected;
    const char* why;
};

TEST(FlagModel, CombinationRule)
{
    const Case cases[] = {
        {0x21, 0x00, 0x20, 0x00, 0x01, "switch Official off"},
        {0x00, 0x20, 0x20, 0x00, 0x00, "off beats on"},
        {0x00, 0x20, 0x20, 0x20, 0x20, "flip applies after off"},
        {0x00, 0x20, 0x00, 0x20, 0x00, "flip applies after on"},
        {0xFF, 0x20, 0x00, 0x20, 0xDF, "on then flip clears, whatever the byte"},
        {0x08, 0x00, 0x00, 0x01, 0x09, "0x08 passes through a flip"},
        {0xFF, 0x00, 0x37, 0x00, 0xC8, "unnamed bits survive every name switched off"},
        {0x00, 0x37, 0x00, 0x00, 0x37, "every name switched on leaves unnamed bits clear"},
        {0xC8, 0x00, 0x00, 0x37, 0xFF, "flipping every name leaves unnamed bits set"},
        {0xA5, 0x00, 0x00, 0x00, 0xA5, "empty request"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        FlagRequest request;
        request.onMask = static_cast<std::uint8_t>(c.on);
        request.offMask = static_cast<std::uint8_t>(c.off);
        request.toggleMask = static_cast<std::uint8_t>(c.toggle);
        EXPECT_EQ(applyFlagRequest(static_cast<std::uint8_t>(c.current), request), c.expected);
        EXPECT_EQ(isEmpty(request), c.on == 0 && c.off == 0 && c.toggle == 0);
    }
}

TEST(FlagModel, DisplayBlock)
{
    const struct {
        const char* label;
        int flags;
        const char* expected;
    } cases[] = {
        {"Current Flags [", 0x00, "Current Flags [00000000]:\n\n"},
        {"Current Flags [", 0x21, "Current Flags [00100001]:\n AllowDownload\n Official\n\n"},
        {"    New Flags [", 0xFF,
         "    New Flags [11111111]:\n AllowDownload\n ClientOptional\n ServerSideOnly\n Unsecure\n Official\n\n"},
        {"    New Flags [", 0xC8, "    New Flags [11001000]:\n\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        testing::internal::CaptureStdout();
        printFlagByte(c.label, static_cast<std::uint8_t>(c.flags));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(c.expected));
    }
}

} // namespace
