// tarnwick: show and change the flag byte of an Unreal Tournament 2004 map.

#include "flags.h"
#include "mapfile.h"

#include <getopt.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#ifdef _WIN32
#include <cstdlib>
#include <memory>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace {

constexpr const char* version = "1.0";

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
    std::printf("Tarnwick %s by Ostrel\n", version);
    std::puts(" A small app to set flags on Unreal Tournament Maps");
    std::puts(" (tested on UT2K4 .ut2 maps)\n");
    std::printf("Usage: %s [-f] [--<flag>[=on|=off]] <mapfile>\n\n", progName);
    std::puts("  -f --force   Modify even if file isnt a real map\n");
    std::puts("  Available Flags:");
    for (const FlagInfo& flag : flagTable)
        std::printf("   --%s\n", flag.name);
    std::putchar('\n');
    std::printf("Example: %s --Official=off mapname.ut2\n", progName);
    std::puts(" (removes the Official flag if it is set)");
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
        std::fprintf(stderr, "%s: `%s' is not a valid parameter for --%s (expecting 'on' or 'off')\n", progName, value,
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

// The whole run but for the process's standard streams; returns the exit status.
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
        std::fprintf(stderr, "%s: Please give the map filename ", progName);
        ++options.errorCount;
    }
    if (optind < argc) {
        std::fprintf(stderr, "%s: Unknown options: ", progName);
        for (; optind < argc; ++optind)
            std::fprintf(stderr, "\"%s\" ", argv[optind]);
        std::fputc('\n', stderr);
        ++options.errorCount;
    }
    if (options.errorCount > 0) {
        displayHelp();
        return 1;
    }
    return runMapUpdate(mapPath, options.request, options.forceWrite);
}

#ifndef TARNWICK_NO_MAIN
namespace {

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
        std::fprintf(stderr, "%s: Couldnt write to standard output\n", progName);
        status = 1;
    }
    return status;
}

} // namespace

#ifdef _WIN32
namespace {

UINT userCodePage = 0;

BOOL WINAPI restoreCodePage(DWORD)
{
    SetConsoleOutputCP(userCodePage);
    return FALSE; // and let the run end as it would have
}

struct FreeBlock {
    void operator()(char* block) const { std::free(block); }
};

// Every word in UTF-8, in one block: the argv array, then the texts. A word
// that is not valid UTF-16 (a lone surrogate) has no exact UTF-8 form, and a
// near one could name another file: then there is no block.
std::unique_ptr<char[], FreeBlock> toUtf8(int argc, wchar_t* argv[])
{
    const std::size_t table = (argc + 1) * sizeof(char*);
    std::size_t bytes = table;
    for (int i = 0; i < argc; ++i) {
        int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, argv[i], -1, nullptr, 0, nullptr, nullptr);
        if (size <= 0)
            return nullptr;
        bytes += size;
    }
    std::unique_ptr<char[], FreeBlock> block(static_cast<char*>(std::calloc(bytes, 1)));
    if (block == nullptr)
        return nullptr;
    char** words = reinterpret_cast<char**>(block.get()); // calloc's memory suits any type
    for (std::size_t i = 0, used = table; i < static_cast<std::size_t>(argc); ++i) {
        words[i] = block.get() + used;
        used += WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, argv[i], -1, words[i],
                                    static_cast<int>(bytes - used), nullptr, nullptr);
    }
    return block;
}

} // namespace

// Windows gives the words as UTF-16; the narrow ones would have passed
// through the system's code page, which turns the characters it lacks into
// '?' or a look-alike, so that "Café.ut2" could reach the tool as another
// map's name. The tool carries every word as UTF-8, and the map's calls turn
// it back into UTF-16 (mapfile.cpp).
// cppcheck-suppress unusedFunction ; the C runtime calls it, as it calls main
int wmain(int argc, wchar_t* argv[])
{
    std::unique_ptr<char[], FreeBlock> words = toUtf8(argc, argv);
    if (words == nullptr) {
        std::fprintf(stderr, "%s: Couldnt read the command line: a word is not valid Unicode\n", progName);
        return 1;
    }
    // A console window shows UTF-8 as typed only in its UTF-8 code page: set
    // for the run, and the user's put back at its end, or when it is stopped.
    userCodePage = GetConsoleOutputCP();
    if (userCodePage == 0 || userCodePage == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8))
        userCodePage = 0;
    else
        SetConsoleCtrlHandler(restoreCodePage, TRUE);
    int status = runProcess(argc, reinterpret_cast<char**>(words.get()));
    if (userCodePage != 0)
        SetConsoleOutputCP(userCodePage);
    return status;
}
#else
namespace {

// A descriptor 0-2 closed at start would be handed out again by the next
// open, the map's, and standard output or error would then write into the
// map. Each closed one gets the null device, opened the wrong way round (as
// the C library does for set-user-ID programs), so that using it fails and a
// closed standard output is still reported as a failed one. The Windows C
// library keeps descriptors 0-2 for the standard streams whether or not they
// are open, so no file can be given one there.
bool guardStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        struct stat info = {};
        if (fstat(fd, &info) == 0 || errno != EBADF)
            continue;
        if (open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY) != fd)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    if (!guardStandardDescriptors())
        return 1;
    return runProcess(argc, argv);
}
#endif
#endif
