#include "mapfile.h"

#include "system.h"
#include "tarnwick.h"

#include <cstring>

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

// The run's diagnostics, each after the program's name. Scripts match them
// as they stand, the tool's own spellings included.
const char* const cantRead = "Couldnt read map file";
const char* const cantWrite = "Couldnt write to map file";
const char* const changed = "Map file changed during the run; nothing written";

// Standard output is flushed first so that, with both streams going to one
// terminal or file, the lines keep the order in which the run produced them.
int fail(const char* message)
{
    std::fflush(stdout);
    printTo(stderr, "%s: %s\n", progName, message);
    return 1;
}

// The name is looked up again here and at the write: whatever answers must
// be the file whose size was taken, or the run ends with nothing written.
// Opening waits for a lease at most, never for a FIFO put in the map's place.
int readStage(const char* mapPath, const FileInfo& named, bool& forceWrite, Seen& seen)
{
    ReadOnlyFile map{openFile(mapPath, false)};
    if (map.handle == noFile)
        return fail("Couldnt open file for reading");
    if (!queryFile(map.handle, seen.file) || !sameFile(seen.file, named))
        return fail(changed);
    // A directory gives no bytes here, and no byte that was not read is ever written.
    long tagLength = readAt(map.handle, 0, seen.tag, 4);
    if (tagLength <= 0)
        return fail(cantRead);
    if (tagLength == 4 && std::memcmp(seen.tag, packageTag, 4) == 0)
        forceWrite = true;
    else
        printTo(stdout, "[Warning]: file may not be a valid map!\n\n");
    if (readAt(map.handle, flagOffset, &seen.flags, 1) != 1)
        return fail(cantRead);
    return 0;
}

// Writes the byte only into the file that was read, and only while it holds
// what was read: under the lock, another run's change is seen, not undone.
// Returns the diagnostic that ends the run, or nullptr.
const char* writeThrough(FileHandle map, const Seen& seen, std::uint8_t next)
{
    // Where the file system keeps no locks, the checks below still guard the write.
    if (lockFile(map) == lockHeld)
        return "Map file locked by another run; nothing written";
    // Only a file that reads as another one is a change; a failed read is a failure.
    FileInfo now;
    if (!queryFile(map, now))
        return cantRead;
    if (!sameFile(now, seen.file) || now.size <= flagOffset)
        return changed;
    Seen again;
    if (readAt(map, 0, again.tag, 4) != 4 || readAt(map, flagOffset, &again.flags, 1) != 1)
        return cantRead;
    if (std::memcmp(again.tag, seen.tag, 4) != 0 || again.flags != seen.flags)
        return changed;
    if (!writeAt(map, flagOffset, &next, 1))
        return cantWrite;
    // A program that takes no lock may cut the file short between the read
    // and the write, which then lengthens it again: that is no success.
    FileInfo written;
    if (!queryFile(map, written))
        return cantWrite;
    if (written.size != now.size)
        return "Map file changed while it was written; check it";
    return nullptr;
}

int writeStage(const char* mapPath, const Seen& seen, std::uint8_t next)
{
    FileHandle map = openFile(mapPath, true);
    if (map == noFile)
        return fail("Couldnt open file for writing");
    const char* failure = writeThrough(map, seen, next);
    // A failed close is a failed write too: the byte may not have reached the file.
    if (!closeFile(map) && failure == nullptr)
        failure = cantWrite;
    return failure != nullptr ? fail(failure) : 0;
}

} // namespace

int runMapUpdate(const char* mapPath, const FlagRequest& request, bool forceWrite)
{
    FileInfo named;
    if (!queryPath(mapPath, named))
        return fail("Couldnt get info on map file");
    if (named.size <= flagOffset)
        return fail("Map file too small");

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
