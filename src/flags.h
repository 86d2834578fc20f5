#ifndef TARNWICK_FLAGS_H
#define TARNWICK_FLAGS_H

#include <cstdint>

// One changeable bit of a map's flag byte. Its name is also its long option
// (--AllowDownload) and its display line; its letter is its short option.
struct FlagInfo {
    std::uint8_t bit;
    const char* name;
    char letter;
};

// Display order and option order. Bits 0x08, 0x40 and 0x80 have no name:
// they are shown among the digits and never changed.
// clang-format off
inline constexpr FlagInfo flagTable[] = {
    {0x01, "AllowDownload", 'a'},
    {0x02, "ClientOptional", 'c'},
    {0x04, "ServerSideOnly", 's'},
    {0x10, "Unsecure", 'u'},
    {0x20, "Official", 'o'},
};
// clang-format on
inline constexpr int flagCount = sizeof flagTable / sizeof flagTable[0];

// What the command line asked for. Requests accumulate by OR, and one bit
// may stand in several masks; applyFlagRequest settles it.
struct FlagRequest {
    std::uint8_t onMask = 0;
    std::uint8_t offMask = 0;
    std::uint8_t toggleMask = 0;
};

// Switches on, then off (so off beats on), then flips (so a flip applies last).
std::uint8_t applyFlagRequest(std::uint8_t current, const FlagRequest& request);

bool isEmpty(const FlagRequest& request);

// Writes to standard output the label, the eight bits from 0x80 down as
// digits, "]:", a line for each named flag that is set, and an empty line.
void printFlagByte(const char* label, std::uint8_t flags);

#endif
