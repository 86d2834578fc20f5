#ifndef TARNWICK_SYSTEM_H
#define TARNWICK_SYSTEM_H

// The few calls a run needs from the operating system, with one source file
// for each system (system_posix.cpp, system_windows.cpp), chosen by the build.

#include <cstdint>
#include <cstdio>

// The invocation name exactly as typed, which begins every diagnostic; the
// command line sets it before anything else.
extern const char* progName;

// Which file a name led to (the device and inode on POSIX, the volume serial
// and file id on Windows), and how long it is.
struct FileInfo {
    std::uint64_t volume = 0;
    std::uint64_t index[2] = {};
    long long size = 0;
};

// Not the change time: an overlay file system (a container's maps from its
// image) copies a file up when it is opened for writing, with a new one.
inline bool sameFile(const FileInfo& a, const FileInfo& b)
{
    return a.volume == b.volume && a.index[0] == b.index[0] && a.index[1] == b.index[1];
}

// The file a name leads to now, symbolic links followed.
bool queryPath(const char* path, FileInfo& info);

// An open file: a descriptor on POSIX, a HANDLE on Windows.
using FileHandle = std::intptr_t;
constexpr FileHandle noFile = -1;

// What a call that takes a name met: the file, no file of that name (nor a
// folder on its path), or another failure.
enum NameResult { nameFound, nameMissing, nameFailed };

// Opens an existing file for reading, or for reading and writing, without
// waiting for a FIFO's other end or a device, and without taking a terminal.
// While a lease on the file is broken (a file server's client gives it up),
// it tries again, as long as the system takes to end the lease.
NameResult openFile(const char* path, bool forUpdate, FileHandle& file);
bool queryFile(FileHandle file, FileInfo& info);
// Every build, on every system, locks this one byte, far past the end of any
// map, so that runs of any build exclude each other: here, under Wine, and on
// a file server, which maps byte-range locks to its own. A deployment script
// takes the same lock while it replaces maps.
constexpr std::int64_t lockOffset = 0x7FFFFFFF00000000;
enum LockResult { lockTaken, lockHeld, lockStale, lockUnsupported, lockFailed };
// An exclusive lock on that byte, held until the file is closed. It tries
// for about a second while another holds the lock (lockHeld) or the system
// is short of lock records. lockStale: the file server no longer has the
// file. lockUnsupported: no lock can exist on this file system, so none can
// be missed. lockFailed: any other failure, which must not be written past.
LockResult lockFile(FileHandle file);
// Looks path up afresh, as the file server, not a cache of its names,
// answers, and describes the file it leads to now. It keeps the lock of a
// file open at that path.
NameResult lookUpName(const char* path, FileInfo& info);
// Returns how many of count bytes at offset were read; -1 on failure.
long readAt(FileHandle file, long offset, unsigned char* bytes, long count);
bool writeAt(FileHandle file, long offset, const unsigned char* bytes, long count);
// Lets go of the lock and closes. False when the system reports a failure:
// written bytes may be lost.
bool closeFile(FileHandle file);

// printf to stdout or stderr. A Windows console takes the text as UTF-16;
// everywhere else it goes out as the UTF-8 bytes it is.
void printTo(std::FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

#endif
