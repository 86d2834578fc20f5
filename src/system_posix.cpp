// The run's calls on Linux and other POSIX systems.

#include "system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

struct FreeBlock {
    void operator()(void* block) const { std::free(block); }
};

bool missing(int error) { return error == ENOENT || error == ENOTDIR; }

void describe(const struct stat& status, FileInfo& info)
{
    info = {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
            static_cast<long long>(status.st_size), static_cast<long long>(status.st_nlink)};
}

} // namespace

bool queryPath(const char* path, FileInfo& info)
{
    struct stat status = {};
    if (stat(path, &status) != 0)
        return false;
    describe(status, info);
    return true;
}

FileHandle openFile(const char* path, bool forUpdate)
{
    const int mode = (forUpdate ? O_RDWR : O_RDONLY) | O_NOCTTY;
    int file = open(path, mode | O_NONBLOCK);
    // A lease (a file server's delegation or oplock, say) fails a non-blocking
    // open at once; an ordinary open waits while the kernel breaks it. No
    // FIFO or device answers an open so, so none can hold the run here.
    if (file < 0 && errno == EAGAIN)
        file = open(path, mode);
    return file;
}

bool queryFile(FileHandle file, FileInfo& info)
{
    struct stat status = {};
    if (fstat(static_cast<int>(file), &status) != 0)
        return false;
    describe(status, info);
    return true;
}

LockResult lockFile(FileHandle file)
{
    // A lock of the open file, not of the process, where the system has one:
    // closing any other descriptor of the map cannot drop it.
#ifdef F_OFD_SETLK
    int command = F_OFD_SETLK;
#else
    int command = F_SETLK;
#endif
    struct flock range = {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = lockOffset;
    range.l_len = 1;
    timespec start = {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const timespec pause = {0, 10000000}; // 10 ms
    for (;;) {
        if (fcntl(static_cast<int>(file), command, &range) == 0)
            return lockTaken;
        const int error = errno;
        if (error == EINVAL && command != F_SETLK) {
            command = F_SETLK; // Linux before 3.15 has only the process's lock
            continue;
        }
        if (error == ESTALE)
            return lockStale;
        if (error == EOPNOTSUPP || error == ENOTSUP || error == ENOSYS)
            return lockUnsupported;
        // ENOLCK: the kernel or an NFS server's lock service is short of
        // lock records for now, while other holders' locks stand.
        const bool held = error == EAGAIN || error == EACCES;
        if (!held && error != EINTR && error != ENOLCK)
            return lockFailed;
        timespec now = {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - start.tv_sec) * 1000000000LL + (now.tv_nsec - start.tv_nsec) >= 1000000000LL)
            return held ? lockHeld : lockFailed; // a second, however long each try took
        nanosleep(&pause, nullptr);
    }
}

LookUpResult lookUpName(const char* path, NameLookUp& opened, FileInfo& info)
{
    // An NFS client answers a name from its cache of the folder's names for
    // up to a minute after another machine renamed it, even to an open.
    // Opening the folder fetches its attributes, and a folder that changed
    // drops the cache; a folder one may enter but not list is opened as a
    // path alone, where the system can (elsewhere the name is looked up from
    // the current folder, as the first look did).
    const char* slash = std::strrchr(path, '/');
    const char* name = slash == nullptr ? path : slash + 1;
    std::unique_ptr<char, FreeBlock> folder(slash == nullptr ? strdup(".")
                                                             : strndup(path, slash == path ? 1 : slash - path));
    if (folder == nullptr)
        return nameFailed;
    int found = open(folder.get(), O_RDONLY | O_DIRECTORY | O_NOCTTY);
#ifdef O_PATH
    if (found < 0 && errno == EACCES)
        found = open(folder.get(), O_PATH | O_DIRECTORY);
#endif
    if (found < 0 && errno != EACCES)
        return missing(errno) ? nameMissing : nameFailed;
    opened.folder = found;
    // Read-only and without waiting: no lease can stand while the run has the
    // map open for writing, and a FIFO put in its place answers at once.
    found = openat(found < 0 ? AT_FDCWD : found, found < 0 ? path : name, O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (found < 0)
        return missing(errno) ? nameMissing : nameFailed;
    opened.file = found;
    return queryFile(found, info) ? nameFound : nameFailed;
}

void closeLookUp(NameLookUp& opened)
{
    // Opened only to look: a failed close loses nothing.
    if (opened.file != noFile)
        close(static_cast<int>(opened.file));
    if (opened.folder != noFile)
        close(static_cast<int>(opened.folder));
    opened = {};
}

long readAt(FileHandle file, long offset, unsigned char* bytes, long count)
{
    return pread(static_cast<int>(file), bytes, count, offset);
}

bool writeAt(FileHandle file, long offset, const unsigned char* bytes, long count)
{
    return pwrite(static_cast<int>(file), bytes, count, offset) == count;
}

bool closeFile(FileHandle file) { return close(static_cast<int>(file)) == 0; }

// NOLINTNEXTLINE(cert-dcl50-cpp): printf's own form, so that the compiler checks every message's format
void printTo(std::FILE* stream, const char* format, ...)
{
    va_list words;
    va_start(words, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): it is, by va_start; clang 14 misreads C++
    vfprintf(stream, format, words);
    va_end(words);
}
