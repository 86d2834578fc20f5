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

// The run's diagnostics, each after the program's name. Scripts match them
// as they stand, the tool's own spellings included.
const char* const cantRead = "Couldnt read map file";
const char* const cantWrite = "Couldnt write to map file";
const char* const changed = "Map file changed during the run; nothing written";
const char* const changedWhile = "Map file changed while it was written; check it";

// What the read stage saw: the file, and its first bytes (9 of them in a
// 9-byte file).
struct Seen {
    FileInfo file;
    unsigned char head[headLength] = {};
    long length = 0;
};

// A .uz2 file, as a redirect server offers packages for download, is zlib
// blocks, each after two sizes: compressed, then uncompressed, 32 bits
// little-endian. Its byte 8 begins the first block's zlib stream, whose
// header check a changed bit breaks.
constexpr long uz2SizesLength = 8;
constexpr std::uint32_t uz2BlockMax = 32768; // uncompressed
constexpr std::uint32_t uz2PackedMax = 33096; // the most such a block compresses to
constexpr unsigned char zlibDeflate = 8; // the method, in the low half of the stream's first byte (CMF)
constexpr unsigned char zlibWindowMax = 7; // 32 KiB, in its high half

std::uint32_t littleEndian32(const unsigned char* bytes)
{
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | std::uint32_t{bytes[3]} << 24;
}

bool isCompressed(const Seen& seen)
{
    if (seen.length < headLength)
        return false;
    const std::uint32_t packed = littleEndian32(seen.head);
    const std::uint32_t unpacked = littleEndian32(seen.head + 4);
    const unsigned char cmf = seen.head[uz2SizesLength];
    const unsigned char flg = seen.head[uz2SizesLength + 1];
    return packed >= 1 && packed <= uz2PackedMax // the compressed size,
        && packed <= seen.file.size - uz2SizesLength // within the file;
        && unpacked >= 1 && unpacked <= uz2BlockMax // the uncompressed size;
        && (cmf & 0x0F) == zlibDeflate // zlib's method,
        && cmf >> 4 <= zlibWindowMax // its window,
        && (cmf << 8 | flg) % 31 == 0; // and its header check, over CMF and FLG
}

// Closes the file when the read stage returns, whichever way it does.
struct ReadOnlyFile {
    FileHandle handle = noFile;
    ~ReadOnlyFile()
    {
        if (handle != noFile)
            closeFile(handle); // nothing was written: a failed close loses nothing
    }
};

// Reads the map's first bytes through a file opened by its name, which must
// be the file whose size was taken: a FIFO or another file put in its place
// is not shown as the map. Warns of a file that is no package.
const char* readStage(const char* mapPath, const FileInfo& named, bool& forceWrite, Seen& seen)
{
    ReadOnlyFile map;
    if (openFile(mapPath, false, map.handle) != nameFound)
        return "Couldnt open file for reading";
    if (!queryFile(map.handle, seen.file) || !sameFile(seen.file, named))
        return changed;
    // A directory gives no bytes here, and no byte that was not read is ever written.
    seen.length = readAt(map.handle, 0, seen.head, headLength);
    if (seen.length <= 0)
        return cantRead;
    if (seen.length >= 4 && std::memcmp(seen.head, packageTag, 4) == 0)
        forceWrite = true;
    else if (isCompressed(seen))
        return "Map file is compressed (.uz2); change the uncompressed package instead";
    else
        printTo(stdout, "[Warning]: file may not be a valid map!\n\n");
    return seen.length > flagOffset ? nullptr : cantRead;
}

// What a look at the map found: what it expected, something else, or
// nothing, as the look failed.
enum Look { asExpected, different, failed };

// Whether the map's name leads to the file: a map renamed aside, or replaced
// by a rename over it while the run waited for the lock, is no longer the
// map, though it reads the same.
Look lookAtName(const char* mapPath, const FileInfo& file)
{
    FileInfo named;
    switch (lookUpName(mapPath, named)) {
    case nameFound:
        return sameFile(named, file) ? asExpected : different;
    case nameMissing:
        return different;
    case nameFailed:
        break;
    }
    return failed;
}

// Whether the file begins with the expected bytes: a file cut short reads
// fewer.
Look lookAtHead(FileHandle map, const unsigned char* expected, long length)
{
    unsigned char head[headLength];
    const long got = readAt(map, 0, head, length);
    if (got < 0)
        return failed;
    return got == length && std::memcmp(head, expected, length) == 0 ? asExpected : different;
}

// Under the lock, before the write: the open file is still the one that was
// read, its name leads to it, and it begins as it did. Another run's change
// is seen, not undone.
const char* checkBeforeWrite(const char* mapPath, FileHandle map, const Seen& seen, FileInfo& now)
{
    if (!queryFile(map, now))
        return cantRead;
    Look look = sameFile(now, seen.file) ? lookAtName(mapPath, now) : different;
    if (look == asExpected)
        look = lookAtHead(map, seen.head, seen.length);
    return look == failed ? cantRead : look == different ? changed : nullptr;
}

// After the write: the file keeps its length, holds the change, and its
// name still leads to it. A program that takes no lock (cp over the map)
// may cut the file and write it again around the write, or rename another
// file over it.
const char* checkAfterWrite(const char* mapPath, FileHandle map, const Seen& seen, const FileInfo& before,
                            std::uint8_t next)
{
    FileInfo written;
    if (!queryFile(map, written))
        return cantWrite;
    unsigned char expected[headLength];
    std::memcpy(expected, seen.head, headLength);
    expected[flagOffset] = next;
    Look look = written.size == before.size ? lookAtHead(map, expected, seen.length) : different;
    if (look == asExpected)
        look = lookAtName(mapPath, written);
    return look == failed ? cantWrite : look == different ? changedWhile : nullptr;
}

// Lock, check, write, check: the byte goes only into the file that was read,
// while it holds what was read and its name leads to it, and "updated" is
// said only of a map that holds the change.
const char* writeUnderLock(const char* mapPath, FileHandle map, const Seen& seen, std::uint8_t next)
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
    FileInfo now;
    if (const char* failure = checkBeforeWrite(mapPath, map, seen, now))
        return failure;
    if (!writeAt(map, flagOffset, &next, 1))
        return cantWrite;
    return checkAfterWrite(mapPath, map, seen, now, next);
}

const char* writeStage(const char* mapPath, const Seen& seen, std::uint8_t next)
{
    FileHandle map = noFile;
    switch (openFile(mapPath, true, map)) {
    case nameMissing: // it was there when it was read
        return changed;
    case nameFailed:
        return "Couldnt open file for writing";
    case nameFound:
        break;
    }
    const char* failure = writeUnderLock(mapPath, map, seen, next);
    // A failed close is a failed write too: the byte may not have reached the file.
    if (!closeFile(map) && failure == nullptr)
        failure = cantWrite;
    return failure;
}

// Standard output is flushed first so that, with both streams going to one
// terminal or file, the lines keep the order in which the run produced them.
int fail(const char* message)
{
    std::fflush(stdout);
    printTo(stderr, "%s: %s\n", progName, message);
    return 1;
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
    if (const char* failure = readStage(mapPath, named, forceWrite, seen))
        return fail(failure);
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
    if (const char* failure = writeStage(mapPath, seen, next))
        return fail(failure);
    printTo(stdout, "Map file updated\n");
    return 0;
}
