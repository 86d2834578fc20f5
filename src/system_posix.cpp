// The run's calls on Linux and other POSIX systems.

#include "system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <ctime>

namespace {

void describe(const struct stat& status, FileInfo& info)
{
    info = {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
            static_cast<long long>(status.st_size)};
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
    const timespec pause = {0, 10000000}; // 10 ms, a hundred times over
    for (int tries = 0; tries < 100; ++tries) {
        if (fcntl(static_cast<int>(file), command, &range) == 0)
            return lockTaken;
        if (errno == EINVAL && command != F_SETLK) {
            command = F_SETLK; // Linux before 3.15 has only the process's lock
            continue;
        }
        if (errno != EAGAIN && errno != EACCES && errno != EINTR)
            return lockUnsupported;
        nanosleep(&pause, nullptr);
    }
    return lockHeld;
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
