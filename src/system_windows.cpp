// The run's calls on Windows. Windows names files and passes words in
// UTF-16, which holds every name whatever the system's code page; the run
// carries them as UTF-8 and turns them back at each call.

#include "system.h"

#include <windows.h>

#include <io.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct FreeBlock {
    void operator()(void* block) const { std::free(block); }
};
using WideName = std::unique_ptr<wchar_t[], FreeBlock>;

// Every name was UTF-16 from Windows (wmain) and turns back exactly. One
// that would not, not being valid UTF-8, becomes the empty name, which no
// file has.
WideName widen(const char* text)
{
    int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    WideName wide(static_cast<wchar_t*>(std::calloc(size + 1, sizeof(wchar_t))));
    if (wide != nullptr)
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide.get(), size);
    return wide;
}

HANDLE handleOf(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

bool describe(HANDLE file, FileInfo& info)
{
    BY_HANDLE_FILE_INFORMATION status = {};
    if (GetFileInformationByHandle(file, &status) == 0)
        return false;
    info = {status.dwVolumeSerialNumber,
            {std::uint64_t{status.nFileIndexHigh} << 32 | status.nFileIndexLow, 0},
            static_cast<long long>(std::uint64_t{status.nFileSizeHigh} << 32 | status.nFileSizeLow)};
    // The 64-bit index may not be unique on ReFS; the 128-bit id is, where
    // the system has it (Windows 8 and later).
    FILE_ID_INFO id = {};
    if (GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof id) != 0) {
        info.volume = id.VolumeSerialNumber;
        std::memcpy(info.index, id.FileId.Identifier, sizeof info.index);
    }
    return true;
}

// Attributes only, which no other program's sharing can refuse; backup
// semantics open a folder too, whose size is 0.
HANDLE openToLook(const char* path)
{
    return CreateFileW(widen(path).get(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

NameResult nameError(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? nameMissing : nameFailed;
}

// The place of the lock byte, past the low half of an OVERLAPPED offset.
OVERLAPPED lockPlace()
{
    OVERLAPPED place = {};
    place.Offset = static_cast<DWORD>(lockOffset);
    place.OffsetHigh = static_cast<DWORD>(lockOffset >> 32);
    return place;
}

// The map's offsets (0 and 8) fit the low half of an OVERLAPPED offset.
OVERLAPPED at(long offset)
{
    OVERLAPPED place = {};
    place.Offset = static_cast<DWORD>(offset);
    return place;
}

} // namespace

NameResult openFile(const char* path, bool forUpdate, FileHandle& file)
{
    // Not shared for deletion: while it is open, no one can move the name to
    // another file. Opening a pipe or a device never waits; an oplock is
    // broken within the open.
    HANDLE opened = CreateFileW(widen(path).get(), forUpdate ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return nameError(GetLastError());
    file = reinterpret_cast<FileHandle>(opened);
    return nameFound;
}

bool queryFile(FileHandle file, FileInfo& info) { return describe(handleOf(file), info); }

LockResult lockFile(FileHandle file)
{
    // A Windows lock bars every other handle from the bytes it covers, so a
    // lock on the map's header would fail other programs' reads of it; the
    // byte far past the end is one that only the runs take.
    OVERLAPPED place = lockPlace();
    const ULONGLONG deadline = GetTickCount64() + 1000;
    for (;;) {
        if (LockFileEx(handleOf(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &place) != 0)
            return lockTaken;
        const DWORD error = GetLastError();
        if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION)
            return lockUnsupported;
        if (error != ERROR_LOCK_VIOLATION)
            return lockFailed;
        if (GetTickCount64() >= deadline)
            return lockHeld;
        Sleep(10);
    }
}

// The run's own handle is not shared for deletion, so while it is open no
// one can move the name to another file; the look-up still confirms it.
NameResult lookUpName(const char* path, FileInfo& info)
{
    HANDLE file = openToLook(path);
    if (file == INVALID_HANDLE_VALUE)
        return nameError(GetLastError());
    const bool described = describe(file, info);
    CloseHandle(file); // opened only to look: a failed close loses nothing
    return described ? nameFound : nameFailed;
}

bool queryPath(const char* path, FileInfo& info) { return lookUpName(path, info) == nameFound; }

long readAt(FileHandle file, long offset, unsigned char* bytes, long count)
{
    OVERLAPPED place = at(offset);
    DWORD done = 0;
    return ReadFile(handleOf(file), bytes, count, &done, &place) != 0 ? static_cast<long>(done) : -1;
}

bool writeAt(FileHandle file, long offset, const unsigned char* bytes, long count)
{
    OVERLAPPED place = at(offset);
    return WriteFile(handleOf(file), bytes, count, nullptr, &place) != 0;
}

bool closeFile(FileHandle file)
{
    // A lock may outlive its handle's close for a while, and refuse a run
    // that comes right after: it is let go first. A handle that holds none
    // is refused, and loses nothing.
    OVERLAPPED place = lockPlace();
    UnlockFileEx(handleOf(file), 0, 1, 0, &place);
    return CloseHandle(handleOf(file)) != 0;
}

// A console takes text as UTF-16, whatever its code page, which belongs to
// the shell and is left alone. Anything else gets the UTF-8 bytes, through
// the C runtime's stream, with its CRLF line ends and buffering.
void printTo(std::FILE* stream, const char* format, ...)
{
    // Every word comes from a command line of at most 32767 UTF-16 units,
    // three bytes each at most: no message of a run comes near this size.
    static char text[1 << 17];
    static wchar_t wide[1 << 17];
    std::va_list words;
    va_start(words, format);
    int length = std::clamp(std::vsnprintf(text, sizeof text, format, words), 0, static_cast<int>(sizeof text) - 1);
    va_end(words);
    HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    DWORD written = 0;
    int wideLength = MultiByteToWideChar(CP_UTF8, 0, text, length, wide, 1 << 17);
    if (GetConsoleMode(console, &mode) == 0 || WriteConsoleW(console, wide, wideLength, &written, nullptr) == 0)
        std::fwrite(text, 1, length, stream);
}
