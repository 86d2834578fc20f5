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
// and file index on Windows), how long it is, and how many names lead to it:
// none once it was removed or renamed over (on Windows, also once it is to be
// deleted when its last handle closes).
struct FileInfo {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    long long size = 0;
    long long links = 0;
};

// Not the change time: an overlay file system (a container's maps from its
// image) copies a file up when it is opened for writing, with a new one.
inline bool sameFile(const FileInfo& a, const FileInfo& b) { return a.volume == b.volume && a.index == b.index; }

// The file a name leads to now, symbolic links followed.
bool queryPath(const char* path, FileInfo& info);

// An open file: a descriptor on POSIX, a HANDLE on Windows.
using FileHandle = std::intptr_t;
constexpr FileHandle noFile = -1;

// Opens an existing file for reading, or for reading and writing, without
// waiting for a FIFO's other end or a device, and without taking a terminal;
// it waits, as any program's open does, while a lease on the file is broken.
FileHandle openFile(const char* path, bool forUpdate);
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

// The handles a look-up of the map's name opened. They stay open until the
// map's own handle is closed: where the lock belongs to the process (Linux
// before 3.15, other POSIX systems), closing any handle of the map drops it.
struct NameLookUp {
    FileHandle folder = noFile;
    FileHandle file = noFile;
};
enum LookUpResult { nameFound, nameMissing, nameFailed };
// Looks path up afresh and describes the file it leads to now, as the file
// server, not a cache of its names, answers. nameMissing: no file has that
// name now.
LookUpResult lookUpName(const char* path, NameLookUp& opened, FileInfo& info);
void closeLookUp(NameLookUp& opened);
// Returns how many of count bytes at offset were read; -1 on failure.
long readAt(FileHandle file, long offset, unsigned char* bytes, long count);
bool writeAt(FileHandle file, long offset, const unsigned char* bytes, long count);
// False when the system reports a failure: written bytes may be lost.
bool closeFile(FileHandle file);

// printf to stdout or stderr. A Windows console takes the text as UTF-16;
// everywhere else it goes out as the UTF-8 bytes it is.
void printTo(std::FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

#endif
