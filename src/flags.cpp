#include "flags.h"

#include "system.h"

std::uint8_t applyFlagRequest(std::uint8_t current, const FlagRequest& request)
{
    // ~offMask is an int with every high bit set: keep the result to 8 bits.
    return static_cast<std::uint8_t>(((current | request.onMask) & ~request.offMask & 0xFF) ^ request.toggleMask);
}

bool isEmpty(const FlagRequest& request)
{
    return request.onMask == 0 && request.offMask == 0 && request.toggleMask == 0;
}

void printFlagByte(const char* label, std::uint8_t flags)
{
    char digits[9] = {};
    for (int i = 0; i < 8; ++i)
        digits[i] = (flags & (0x80 >> i)) != 0 ? '1' : '0';
    printTo(stdout, "%s%s]:\n", label, digits);
    for (const FlagInfo& flag : flagTable)
        if ((flags & flag.bit) != 0)
            printTo(stdout, " %s\n", flag.name);
    printTo(stdout, "\n");
}
