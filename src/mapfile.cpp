#include "mapfile.h"

#include "system.h"

#include <cstring>

const char* progName = "tarnwick";

namespace {

constexpr long flagOffset = 8;
// Every package begins with 0x9E2A83C1, little-endian. A file that shares
// only its first byte (a compressed .uz2 may) is no package.
constexpr unsigned char packageTag[4] = {0xC1, 0x83, 0x2A, 0x9E};

// What the read stage saw: the file, its first four bytes and its flag byte.
struct Seen {
    FileInfo file;
    unsigned char tag[4] = {};
    std::uint8_t flags = 0;
};

// Closes the file when a stage returns, whichever way it does.
struct ReadOnlyFile {
    FileHandle handle;
    ~ReadOnlyFile()
    {
        if (handle != noFile)
            closeFile(handle); // nothing was written: a failed close loses nothing
    }
};

// Standard output is flushed first so that, with both streams going to one
// terminal or file, the lines keep the order in which the run produced them.
// The messages keep the tool's own spellings: scripts match them.
int fail(const char* format)
{
    std::fflush(stdout);
    printTo(stderr, format, progName);
    return 1;
}

// The name is looked up again here and at the write: whatever answers must
// be the file whose size was taken, or the run ends with nothing written.
// Opening never waits, so a FIFO put in the map's place cannot hold the run.
int readStage(const char* mapPath, const FileInfo& named, bool& forceWrite, Seen& seen)
{
    ReadOnlyFile map{openFile(mapPath, false)};
    if (map.handle == noFile)
        return fail("%s: Couldnt open file for reading\n");
    if (!queryFile(map.handle, seen.file) || !sameFile(seen.file, named))
        return fail("%s: Map file changed during the run; nothing written\n");
    // A directory holds no bytes to read, and no byte that was not read is
    // ever written.
    long tagLength = seen.file.regular ? readAt(map.handle, 0, seen.tag, 4) : 0;
    if (tagLength <= 0)
        return fail("%s: Couldnt read map file\n");
    if (tagLength == 4 && std::memcmp(seen.tag, packageTag, 4) == 0)
        forceWrite = true;
    else
        printTo(stdout, "[Warning]: file may not be a valid map!\n\n");
    if (readAt(map.handle, flagOffset, &seen.flags, 1) != 1)
        return fail("%s: Couldnt read map file\n");
    return 0;
}

// Writes the byte only into the file that was read, and only while it holds
// what was read: under the lock, another run's change is seen, not undone.
// Returns the message that ends the run, or nullptr.
const char* writeThrough(FileHandle map, const Seen& seen, std::uint8_t next)
{
    FileInfo now;
    if (!queryFile(map, now) || !sameFile(now, seen.file))
        return "%s: Map file changed during the run; nothing written\n";
    if (!lockFile(map))
        return "%s: Couldnt write to map file\n";
    // Byte 8 read again also proves that the file was not cut short since.
    Seen again;
    if (readAt(map, 0, again.tag, 4) != 4 || readAt(map, flagOffset, &again.flags, 1) != 1
        || std::memcmp(again.tag, seen.tag, 4) != 0 || again.flags != seen.flags)
        return "%s: Map file changed during the run; nothing written\n";
    if (!writeAt(map, flagOffset, &next, 1))
        return "%s: Couldnt write to map file\n";
    return nullptr;
}

int writeStage(const char* mapPath, const Seen& seen, std::uint8_t next)
{
    FileHandle map = openFile(mapPath, true);
    if (map == noFile)
        return fail("%s: Couldnt open file for writing\n");
    const char* failure = writeThrough(map, seen, next);
    // A failed close is a failed write too: the byte may not have reached the file.
    if (!closeFile(map) && failure == nullptr)
        failure = "%s: Couldnt write to map file\n";
    return failure != nullptr ? fail(failure) : 0;
}

} // namespace

int runMapUpdate(const char* mapPath, const FlagRequest& request, bool forceWrite)
{
    FileInfo named;
    if (!queryPath(mapPath, named))
        return fail("%s: Couldnt get info on map file\n");
    if (named.size <= flagOffset)
        return fail("%s: Map file too small\n");

    Seen seen;
    if (readStage(mapPath, named, forceWrite, seen) != 0)
        return 1;
    printFlagByte("Current Flags [", seen.flags);
    if (isEmpty(request))
        return 0;

    std::uint8_t next = applyFlagRequest(seen.flags, request);
    printFlagByte("    New Flags [", next);
    if (next == seen.flags) {
        printTo(stdout, "No change to make\n");
        return 0;
    }
    if (!forceWrite) {
        printTo(stdout, "Not writing to file. Use --force option to force modificaton\n");
        return 0;
    }
    if (writeStage(mapPath, seen, next) != 0)
        return 1;
    printTo(stdout, "Map file updated\n");
    return 0;
}
