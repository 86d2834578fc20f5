// The run's calls on Linux and other POSIX systems.

#include "system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>

namespace {

struct FreeBlock {
    void operator()(void* block) const { std::free(block); }
};

NameResult nameError(int error) { return error == ENOENT || error == ENOTDIR ? nameMissing : nameFailed; }

void describe(const struct stat& status, FileInfo& info)
{
    info = {static_cast<std::uint64_t>(status.st_dev),
            {static_cast<std::uint64_t>(status.st_ino), 0},
            static_cast<long long>(status.st_size)};
}

// Where the lock belongs to the process (Linux before 3.15, other POSIX
// systems), closing any descriptor of the map drops it: the descriptors that
// the look-ups of its name open stay open until the map's own is closed. A
// run looks its name up twice.
int keptOpen[2] = {-1, -1};

const timespec retryPause = {0, 10000000}; // 10 ms

} // namespace

bool queryPath(const char* path, FileInfo& info)
{
    struct stat status = {};
    if (stat(path, &status) != 0)
        return false;
    describe(status, info);
    return true;
}

NameResult openFile(const char* path, bool forUpdate, FileHandle& file)
{
    // A lease (a file server's delegation or oplock, say) fails a
    // non-blocking open while the kernel breaks it, which ends within the
    // lease-break time. A blocking open would wait as long, but, restarted
    // after a stop signal (Ctrl-Z, then fg), it would take whatever the name
    // leads to then, and wait for good on a FIFO put there.
    const int mode = (forUpdate ? O_RDWR : O_RDONLY) | O_NOCTTY | O_NONBLOCK;
    int opened;
    while ((opened = open(path, mode)) < 0 && errno == EAGAIN)
        nanosleep(&retryPause, nullptr);
    if (opened < 0)
        return nameError(errno);
    file = opened;
    return nameFound;
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
    for (;;) {
        if (fcntl(static_cast<int>(file), command, &range) == 0)
            return lockTaken;
        const int error = errno;
        const bool unsupported = error == EOPNOTSUPP || error == ENOTSUP || error == ENOSYS;
        // Linux before 3.15 has only the process's lock (EINVAL), and a
        // sandbox or an emulator may lack the open-file lock alone: only the
        // process's lock can tell that the file system keeps none.
        if (command != F_SETLK && (error == EINVAL || unsupported)) {
            command = F_SETLK;
            continue;
        }
        if (error == ESTALE)
            return lockStale;
        if (unsupported)
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
        nanosleep(&retryPause, nullptr);
    }
}

NameResult lookUpName(const char* path, FileInfo& info)
{
    // An NFS client answers a name from its cache of the folder's names for
    // up to a minute after another machine renamed it, even to an open.
    // Opening the folder fetches its attributes, and a folder that changed
    // drops the cache; a folder one may enter but not list is opened as a
    // path alone, where the system can (elsewhere the name is looked up from
    // the current folder, as the first look did).
    const char* slash = std::strrchr(path, '/');
    const char* name = slash == nullptr ? path : slash + 1;
    std::unique_ptr<char, FreeBlock> folderName(slash == nullptr ? strdup(".")
                                                                 : strndup(path, slash == path ? 1 : slash - path));
    if (folderName == nullptr)
        return nameFailed;
    int folder = open(folderName.get(), O_RDONLY | O_DIRECTORY | O_NOCTTY);
#ifdef O_PATH
    if (folder < 0 && errno == EACCES)
        folder = open(folderName.get(), O_PATH | O_DIRECTORY);
#endif
    if (folder < 0 && errno != EACCES)
        return nameError(errno);
    // Read-only and without waiting: no lease can stand while the run has the
    // map open for writing, and a FIFO put in its place answers at once.
    int found = openat(folder < 0 ? AT_FDCWD : folder, folder < 0 ? path : name, O_RDONLY | O_NOCTTY | O_NONBLOCK);
    const int error = errno;
    if (folder >= 0)
        close(folder); // not the map: a failed close loses nothing
    if (found < 0)
        return nameError(error);
    int* kept = std::find(std::begin(keptOpen), std::end(keptOpen), -1);
    if (kept == std::end(keptOpen))
        return nameFailed; // never: a run looks its name up twice
    *kept = found;
    return queryFile(found, info) ? nameFound : nameFailed;
}

long readAt(FileHandle file, long offset, unsigned char* bytes, long count)
{
    return pread(static_cast<int>(file), bytes, count, offset);
}

bool writeAt(FileHandle file, long offset, const unsigned char* bytes, long count)
{
    return pwrite(static_cast<int>(file), bytes, count, offset) == count;
}

bool closeFile(FileHandle file)
{
    const bool closed = close(static_cast<int>(file)) == 0;
    for (int& kept : keptOpen) {
        if (kept >= 0)
            close(kept); // opened only to look: a failed close loses nothing
        kept = -1;
    }
    return closed;
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf's own form, so that the compiler checks every message's format
void printTo(std::FILE* stream, const char* format, ...)
{
    va_list words;
    va_start(words, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): it is, by va_start; clang 14 misreads C++
    vfprintf(stream, format, words);
    va_end(words);
}
