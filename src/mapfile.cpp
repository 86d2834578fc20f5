#include "mapfile.h"

#include "system.h"

#include <cstring>

namespace {

constexpr long flagOffset = 8;
// Every package begins with 0x9E2A83C1, little-endian. A file that shares
// only its first byte (a compressed .uz2 may) is no package.
constexpr unsigned char packageTag[4] = {0xC1, 0x83, 0x2A, 0x9E};
// The bytes a run reads: the tag, and the flag byte with the one after it,
// which with bytes 4 to 7 tell a compressed package.
constexpr long headLength = flagOffset + 2;

// What the read stage saw: the file, and its first bytes (9 of them in a
// 9-byte file).
struct Seen {
    FileInfo file;
    unsigned char head[headLength] = {};
    long length = 0;
};

// A .uz2 file, as a redirect server offers packages for download, is zlib
// blocks, each after its compressed and uncompressed sizes (32 bits,
// little-endian; 32 KiB at most uncompressed). Its byte 8 begins the first
// block's zlib stream, whose header check a changed bit breaks.
bool isCompressed(const Seen& seen)
{
    if (seen.length < headLength)
        return false;
    auto word = [&seen](int at) {
        return seen.head[at] | seen.head[at + 1] << 8 | seen.head[at + 2] << 16
            | std::uint32_t{seen.head[at + 3]} << 24;
    };
    const std::uint32_t packed = word(0);
    const std::uint32_t unpacked = word(4);
    const unsigned char method = seen.head[flagOffset];
    return packed >= 1 && packed <= 33096 && packed <= seen.file.size - 8 && unpacked >= 1 && unpacked <= 32768
        && (method & 0x0F) == 8 && method >> 4 <= 7 && (method << 8 | seen.head[flagOffset + 1]) % 31 == 0;
}

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
    seen.length = readAt(map.handle, 0, seen.head, headLength);
    if (seen.length <= 0)
        return fail(cantRead);
    if (seen.length >= 4 && std::memcmp(seen.head, packageTag, 4) == 0)
        forceWrite = true;
    else if (isCompressed(seen))
        return fail("Map file is compressed (.uz2); change the uncompressed package instead");
    else
        printTo(stdout, "[Warning]: file may not be a valid map!\n\n");
    if (seen.length <= flagOffset)
        return fail(cantRead);
    return 0;
}

// The handles of the name's look-ups, closed only after the map's own: where
// the lock belongs to the process, closing any handle of the map drops it.
struct LookUps {
    NameLookUp underLock;
    NameLookUp afterWrite;
    ~LookUps()
    {
        closeLookUp(underLock);
        closeLookUp(afterWrite);
    }
};

// Whether the map's name still leads to the open file, and the file still
// has a name: a map renamed aside, or replaced by a rename over it while the
// run waited for the lock, is no longer the map, though it reads the same.
// Returns the diagnostic, or nullptr.
const char* checkName(const char* mapPath, const FileInfo& file, NameLookUp& opened, const char* moved,
                      const char* unknown)
{
    FileInfo named;
    switch (lookUpName(mapPath, opened, named)) {
    case nameMissing:
        return moved;
    case nameFailed:
        return unknown;
    case nameFound:
        break;
    }
    return sameFile(named, file) && file.links > 0 ? nullptr : moved;
}

// Writes the byte only into the file that was read, and only while it holds
// what was read and its name leads to it: under the lock, another run's
// change is seen, not undone. Then looks again: "updated" is said only of a
// map that holds the change. Returns the diagnostic that ends the run, or nullptr.
const char* writeThrough(const char* mapPath, FileHandle map, const Seen& seen, std::uint8_t next, LookUps& lookUps)
{
    switch (lockFile(map)) {
    case lockHeld:
        return "Map file locked by another run; nothing written";
    case lockStale:
        return changed;
    case lockFailed:
        return "Couldnt lock map file; nothing written";
    case lockTaken:
    case lockUnsupported: // no lock can exist here, so none is passed over
        break;
    }
    // Only a file that reads as another one is a change; a failed read is a failure.
    FileInfo now;
    if (!queryFile(map, now))
        return cantRead;
    if (!sameFile(now, seen.file) || now.size <= flagOffset)
        return changed;
    if (const char* failure = checkName(mapPath, now, lookUps.underLock, changed, cantRead))
        return failure;
    unsigned char head[headLength];
    if (readAt(map, 0, head, seen.length) != seen.length)
        return cantRead;
    if (std::memcmp(head, seen.head, seen.length) != 0)
        return changed;
    if (!writeAt(map, flagOffset, &next, 1))
        return cantWrite;
    // A program that takes no lock (cp over the map) may cut the file and
    // write it again around the write, or rename another file over it.
    const char* const changedWhile = "Map file changed while it was written; check it";
    FileInfo written;
    if (!queryFile(map, written))
        return cantWrite;
    if (written.size != now.size)
        return changedWhile;
    unsigned char expected[headLength];
    std::memcpy(expected, seen.head, headLength);
    expected[flagOffset] = next;
    long length = readAt(map, 0, head, seen.length);
    if (length < 0)
        return cantWrite;
    if (length != seen.length || std::memcmp(head, expected, length) != 0)
        return changedWhile;
    return checkName(mapPath, written, lookUps.afterWrite, changedWhile, cantWrite);
}

int writeStage(const char* mapPath, const Seen& seen, std::uint8_t next)
{
    LookUps lookUps; // declared first, so closed last
    FileHandle map = openFile(mapPath, true);
    if (map == noFile)
        return fail("Couldnt open file for writing");
    const char* failure = writeThrough(mapPath, map, seen, next, lookUps);
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
    const std::uint8_t flags = seen.head[flagOffset];
    printFlagByte("Current Flags [", flags);
    if (isEmpty(request))
        return 0;

    std::uint8_t next = applyFlagRequest(flags, request);
    printFlagByte("    New Flags [", next);
    if (next == flags) {
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
