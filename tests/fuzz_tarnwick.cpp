// Runs the whole tool in-process on a command line and a map taken from the
// fuzzer's input, in an empty folder (CTest makes it afresh), and checks what
// must hold for every command line: status 0 or 1, no file made or removed,
// the map's length kept, no byte but byte 8 changed, and "Map file updated"
// printed exactly when byte 8 changed. What each command line should do is
// the end-to-end table's business.
//
// Input: one byte n, then the map's n bytes (n = 255: no map at all), then the
// arguments, separated by NUL bytes. No argument may hold a '/', so no run can
// reach a file outside the folder.

#include "tarnwick.h"

#include <dirent.h>
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// libFuzzer's -close_fd_mask silences the tool's own output, and standard
// error with it: a broken promise is told on a copy taken before that.
static int reportFd = 2;
#define CHECK(promise) ((promise) ? (void)0 : (dprintf(reportFd, "broken promise: %s\n", #promise), std::abort()))

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    reportFd = dup(2);
    return 0;
}

// How many entries a folder holds, but . and ..: read with readdir, as a
// directory_iterator's shared state takes another path once libFuzzer's own
// thread has started, and the same inputs would then not cover the same code.
static int entries(const char* path)
{
    int count = 0;
    DIR* folder = opendir(path);
    while (const dirent* entry = readdir(folder))
        count += std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0;
    closedir(folder);
    return count;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const bool withMap = data[0] != 255;
    const std::size_t mapSize = withMap ? std::min<std::size_t>(data[0], size - 1) : 0;
    const std::string before(data + 1, data + 1 + mapSize);
    std::string words = "tarnwick";
    if (mapSize + 1 < size)
        words.append(1, '\0').append(data + 1 + mapSize, data + size);
    if (words.find('/') != std::string::npos)
        return -1;
    std::vector<char*> argv{&words[0]};
    for (std::size_t i = 0; i < words.size(); ++i)
        if (words[i] == '\0')
            argv.push_back(&words[i + 1]);
    argv.push_back(nullptr);

    // Files through stdio: a C++ stream's locale would take another path
    // once libFuzzer's thread has started.
    std::remove("map.ut2");
    if (withMap) {
        std::FILE* map = std::fopen("map.ut2", "wb");
        std::fwrite(before.data(), 1, before.size(), map);
        std::fclose(map);
    }
    // Standard output goes to memory for the run, to be searched afterwards.
    char* output = nullptr;
    std::size_t outputSize = 0;
    std::FILE* const realStdout = stdout;
    stdout = open_memstream(&output, &outputSize);
    const int descriptors = entries("/proc/self/fd");
    optind = 0; // the parser starts afresh
    const int status = runCommandLine(static_cast<int>(argv.size() - 1), argv.data());
    std::fclose(stdout);
    stdout = realStdout;
    // A memory stream ends in a NUL, and the output holds none.
    const bool updated = std::strstr(output, "Map file updated\n") != nullptr;
    std::free(output);

    std::string after;
    std::FILE* map = std::fopen("map.ut2", "rb");
    for (int byte; map != nullptr && (byte = std::fgetc(map)) != EOF;)
        after += static_cast<char>(byte);
    CHECK(status == 0 || status == 1);
    // every descriptor the run opened, closed; no file made or removed
    CHECK(entries("/proc/self/fd") == descriptors + (map != nullptr));
    CHECK((map != nullptr) == withMap && entries(".") == (withMap ? 1 : 0));
    if (map != nullptr)
        std::fclose(map);
    CHECK(after.size() == before.size());
    for (std::size_t i = 0; i < after.size(); ++i)
        CHECK(i == 8 || after[i] == before[i]);
    // "Map file updated" exactly when byte 8 changed
    CHECK(updated == (after.size() > 8 && after[8] != before[8]));
    return 0;
}
