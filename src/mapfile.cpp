#include "mapfile.h"

#include <cstdio>
#include <memory>
#ifdef _WIN32
#include <cstdlib>
#include <windows.h>
#else
#include <sys/stat.h>
#endif

const char* progName = "tarnwick";

namespace {

constexpr long flagOffset = 8;
constexpr int mapTag = 0xC1;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

#ifdef _WIN32
struct FreeName {
    void operator()(wchar_t* name) const { std::free(name); }
};
using WideName = std::unique_ptr<wchar_t[], FreeName>;

// The tool carries names as UTF-8; Windows' file calls take them as UTF-16,
// which holds every name, whatever the system's code page. A name that is not
// valid UTF-8 becomes the empty name, which no file has.
WideName widen(const char* text)
{
    int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    WideName wide(static_cast<wchar_t*>(std::calloc(size > 0 ? size : 1, sizeof(wchar_t))));
    if (wide != nullptr && size > 0
        && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide.get(), size) != size)
        wide[0] = L'\0';
    return wide;
}

std::FILE* openFile(const char* path, const char* mode)
{
    WideName widePath = widen(path);
    WideName wideMode = widen(mode);
    return widePath != nullptr && wideMode != nullptr ? _wfopen(widePath.get(), wideMode.get()) : nullptr;
}

// The size the file system reports; a directory's is 0.
bool fileSize(const char* path, long long& size)
{
    WIN32_FILE_ATTRIBUTE_DATA info = {};
    WideName widePath = widen(path);
    if (widePath == nullptr || GetFileAttributesExW(widePath.get(), GetFileExInfoStandard, &info) == 0)
        return false;
    size = static_cast<long long>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    return true;
}
#else
std::FILE* openFile(const char* path, const char* mode) { return std::fopen(path, mode); }

bool fileSize(const char* path, long long& size)
{
    struct stat info = {};
    if (stat(path, &info) != 0)
        return false;
    size = info.st_size;
    return true;
}
#endif

// Standard output is flushed first so that, with both streams going to one
// terminal or file, the lines keep the order in which the run produced them.
// The messages keep the tool's own spellings: scripts match them.
int fail(const char* format)
{
    std::fflush(stdout);
    std::fprintf(stderr, format, progName);
    return 1;
}

// Reads the tag byte and the flag byte, and closes the map on return, before
// any flag is shown. A byte that cannot be read (a directory, a file cut
// short since its size was taken) ends the run: nothing is ever written from
// a byte that was not read.
int readTagAndFlags(const char* mapPath, bool& forceWrite, std::uint8_t& flags)
{
    FilePtr map(openFile(mapPath, "rb"));
    if (map == nullptr)
        return fail("%s: Couldnt open file for reading\n");
    // Unbuffered: each byte is read alone, so a 4 GiB map costs what a 9-byte one does.
    std::setvbuf(map.get(), nullptr, _IONBF, 0);
    int tag = std::fgetc(map.get());
    if (tag == EOF)
        return fail("%s: Couldnt read map file\n");
    if (tag == mapTag)
        forceWrite = true;
    else
        std::fputs("[Warning]: file may not be a valid map!\n\n", stdout);
    int byte = std::fseek(map.get(), flagOffset, SEEK_SET) == 0 ? std::fgetc(map.get()) : EOF;
    if (byte == EOF)
        return fail("%s: Couldnt read map file\n");
    flags = static_cast<std::uint8_t>(byte);
    return 0;
}

int writeFlagByte(const char* mapPath, std::uint8_t flags)
{
    // "rb+": the map must exist, and is neither created nor truncated.
    std::FILE* map = openFile(mapPath, "rb+");
    if (map == nullptr)
        return fail("%s: Couldnt open file for writing\n");
    // Unbuffered: the seek and the one byte's write go straight to the file, with no read first.
    std::setvbuf(map, nullptr, _IONBF, 0);
    bool written = std::fseek(map, flagOffset, SEEK_SET) == 0 && std::fputc(flags, map) != EOF;
    // A failed close is a failed write too: the byte may not have reached the file.
    if (std::fclose(map) != 0)
        written = false;
    if (!written)
        return fail("%s: Couldnt write to map file\n");
    return 0;
}

} // namespace

int runMapUpdate(const char* mapPath, const FlagRequest& request, bool forceWrite)
{
    long long size = 0;
    if (!fileSize(mapPath, size))
        return fail("%s: Couldnt get info on map file\n");
    if (size <= flagOffset)
        return fail("%s: Map file too small\n");

    std::uint8_t current = 0;
    if (readTagAndFlags(mapPath, forceWrite, current) != 0)
        return 1;
    printFlagByte("Current Flags [", current);
    if (isEmpty(request))
        return 0;

    std::uint8_t next = applyFlagRequest(current, request);
    printFlagByte("    New Flags [", next);
    if (next == current) {
        std::puts("No change to make");
        return 0;
    }
    if (!forceWrite) {
        std::puts("Not writing to file. Use --force option to force modificaton");
        return 0;
    }
    if (writeFlagByte(mapPath, next) != 0)
        return 1;
    std::puts("Map file updated");
    return 0;
}
