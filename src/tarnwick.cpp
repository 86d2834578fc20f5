// tarnwick: show and change the flag byte of an Unreal Tournament 2004 map.

#include "tarnwick.h"
#include "flags.h"
#include "mapfile.h"
#include "system.h"

#include <getopt.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

constexpr const char* version = TARNWICK_VERSION;

// Every flag letter takes an optional value, force takes none: "a::c::s::u::o::f".
constexpr std::array<char, 3 * flagCount + 2> makeShortOptions()
{
    std::array<char, 3 * flagCount + 2> letters{};
    int n = 0;
    for (const FlagInfo& flag : flagTable) {
        letters[n++] = flag.letter;
        letters[n++] = ':';
        letters[n++] = ':';
    }
    letters[n] = 'f';
    return letters;
}

// The flags in table order, then force, then the zero entry that ends the table.
// Each entry reports its short letter, so the loop handles -o and --Official alike.
constexpr std::array<option, flagCount + 2> makeLongOptions()
{
    std::array<option, flagCount + 2> table{};
    auto entry = table.begin();
    for (const FlagInfo& flag : flagTable)
        *entry++ = {flag.name, optional_argument, nullptr, flag.letter};
    *entry = {"force", no_argument, nullptr, 'f'};
    return table;
}

constexpr auto shortOptions = makeShortOptions();
constexpr auto long_options = makeLongOptions();

struct Options {
    FlagRequest request;
    bool forceWrite = false;
    int errorCount = 0;
};

void displayHelp()
{
    printTo(stdout, "Tarnwick %s by Ostrel\n", version);
    printTo(stdout, " A small app to set flags on Unreal Tournament Maps\n");
    printTo(stdout, " (tested on UT2K4 .ut2 maps)\n\n");
    printTo(stdout, "Usage: %s [-f] [--<flag>[=on|=off]] <mapfile>\n\n", progName);
    printTo(stdout, "  -f --force   Modify even if file isnt a real map\n\n");
    printTo(stdout, "  Available Flags:\n");
    for (const FlagInfo& flag : flagTable)
        printTo(stdout, "   --%s\n", flag.name);
    printTo(stdout, "\n");
    printTo(stdout, "Example: %s --Official=off mapname.ut2\n", progName);
    printTo(stdout, " (removes the Official flag if it is set)\n");
}

const FlagInfo* findFlag(int letter)
{
    const FlagInfo* flag = std::find_if(std::begin(flagTable), std::end(flagTable),
                                        [letter](const FlagInfo& entry) { return entry.letter == letter; });
    return flag != std::end(flagTable) ? flag : nullptr;
}

// No value flips the flag; the value must be exactly "on" or "off" (case
// matters), anything else, the empty value included, is an error.
bool addFlagRequest(FlagRequest& request, const FlagInfo& flag, const char* value)
{
    if (value == nullptr)
        request.toggleMask |= flag.bit;
    else if (std::strcmp(value, "on") == 0)
        request.onMask |= flag.bit;
    else if (std::strcmp(value, "off") == 0)
        request.offMask |= flag.bit;
    else {
        printTo(stderr, "%s: `%s' is not a valid parameter for --%s (expecting 'on' or 'off')\n", progName, value,
                flag.name);
        return false;
    }
    return true;
}

// Runs the parser to the end of the options, counting every error; the parser
// explains its own rejections on standard error. Afterwards the operands stand
// behind the options, from optind on.
void readOptions(int argc, char* argv[], Options& options)
{
    int letter;
    while ((letter = getopt_long(argc, argv, shortOptions.data(), long_options.data(), nullptr)) != -1) {
        if (const FlagInfo* flag = findFlag(letter)) {
            if (!addFlagRequest(options.request, *flag, optarg))
                ++options.errorCount;
        } else if (letter == 'f') {
            options.forceWrite = true;
        } else {
            ++options.errorCount;
        }
    }
}

} // namespace

const char* progName = "tarnwick";

int runCommandLine(int argc, char* argv[])
{
    if (argc > 0) // a program started with no argv[0] at all keeps the default name
        progName = argv[0];
    if (argc < 2) {
        displayHelp();
        return 1;
    }

    Options options;
    readOptions(argc, argv, options);

    const char* mapPath = nullptr;
    if (optind < argc) {
        mapPath = argv[optind++];
    } else {
        printTo(stderr, "%s: Please give the map filename ", progName);
        ++options.errorCount;
    }
    if (optind < argc) {
        printTo(stderr, "%s: Unknown options: ", progName);
        for (; optind < argc; ++optind)
            printTo(stderr, "\"%s\" ", argv[optind]);
        printTo(stderr, "\n");
        ++options.errorCount;
    }
    if (options.errorCount > 0) {
        displayHelp();
        return 1;
    }
    return runMapUpdate(mapPath, options.request, options.forceWrite);
}

// Around the run on every system: standard error unbuffered everywhere
// (Windows' holds a line back until its end), so that "Please give the map
// filename ", which has none, still comes before the usage screen when both
// streams share one file; and a run whose output was lost fails.
int runProcess(int argc, char* argv[])
{
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    int status = runCommandLine(argc, argv);
    // Whatever became of the map, a user who was not shown the outcome must
    // not be told that all went well.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        printTo(stderr, "%s: Couldnt write to standard output\n", progName);
        status = 1;
    }
    return status;
}
