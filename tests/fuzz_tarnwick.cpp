// Runs the whole tool in-process on a command line and a map taken from the
// fuzzer's input, in a folder of its own, and checks its promise after every
// run: status 0 or 1, the map's length kept, no byte but byte 8 changed, and
// byte 8 changed exactly as the command line asked. What the command line asks
// is worked out here from the words themselves, not by the tool's parser.
//
// Input: one byte n, then the map's n bytes (n = 255: no map at all), then the
// arguments, separated by NUL bytes. No argument may hold a '/', so no run can
// reach a file outside the folder.

#include "flags.h"

#include <dirent.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int runCommandLine(int argc, char* argv[]);

namespace {

const std::string mapName = "map.ut2";

struct Expected {
    bool valid = true;
    bool force = false;
    FlagRequest request;
    std::vector<std::string> operands;
};

void check(bool holds, const char* promise)
{
    if (!holds) {
        std::fprintf(stderr, "broken promise: %s\n", promise);
        std::abort();
    }
}

void addValue(Expected& expected, const FlagInfo& flag, const std::string* value)
{
    if (value == nullptr)
        expected.request.toggleMask |= flag.bit;
    else if (*value == "on")
        expected.request.onMask |= flag.bit;
    else if (*value == "off")
        expected.request.offMask |= flag.bit;
    else
        expected.valid = false;
}

// "-fo", "-ooff", "-xo": letters until one that takes the rest of the word as its value.
void readLetters(const std::string& word, Expected& expected)
{
    for (std::size_t i = 1; i < word.size(); ++i) {
        if (word[i] == 'f') {
            expected.force = true;
            continue;
        }
        const FlagInfo* found = nullptr;
        for (const FlagInfo& flag : flagTable)
            if (flag.letter == word[i])
                found = &flag;
        if (found == nullptr) {
            expected.valid = false;
            continue;
        }
        const std::string rest = word.substr(i + 1);
        addValue(expected, *found, rest.empty() ? nullptr : &rest);
        return;
    }
}

// "--Off=off": an exact name, or the start of exactly one name.
void readName(const std::string& word, Expected& expected)
{
    const std::size_t equals = word.find('=');
    const std::string name = word.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    std::vector<std::string> names;
    for (const FlagInfo& flag : flagTable)
        names.emplace_back(flag.name);
    names.emplace_back("force");
    int chosen = -1;
    int starts = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == name) {
            chosen = static_cast<int>(i);
            starts = 1;
            break;
        }
        if (names[i].compare(0, name.size(), name) == 0) {
            chosen = static_cast<int>(i);
            ++starts;
        }
    }
    if (starts != 1) {
        expected.valid = false;
        return;
    }
    const bool hasValue = equals != std::string::npos;
    if (chosen == flagCount) {
        if (hasValue)
            expected.valid = false;
        else
            expected.force = true;
        return;
    }
    const std::string value = hasValue ? word.substr(equals + 1) : std::string();
    addValue(expected, flagTable[chosen], hasValue ? &value : nullptr);
}

Expected readWords(const std::vector<std::string>& words)
{
    Expected expected;
    bool optionsEnded = false;
    for (const std::string& word : words) {
        if (optionsEnded || word.size() < 2 || word[0] != '-')
            expected.operands.push_back(word);
        else if (word == "--")
            optionsEnded = true;
        else if (word[1] == '-')
            readName(word, expected);
        else
            readLetters(word, expected);
    }
    return expected;
}

std::vector<unsigned char> readMap(bool& exists)
{
    std::vector<unsigned char> bytes;
    std::FILE* map = std::fopen(mapName.c_str(), "rb");
    exists = map != nullptr;
    if (map != nullptr) {
        int byte;
        while ((byte = std::fgetc(map)) != EOF)
            bytes.push_back(static_cast<unsigned char>(byte));
        std::fclose(map);
    }
    return bytes;
}

int countEntries()
{
    int count = 0;
    DIR* folder = opendir(".");
    check(folder != nullptr, "the run's folder can be listed");
    while (const dirent* entry = readdir(folder))
        count += std::string(entry->d_name) != "." && std::string(entry->d_name) != "..";
    closedir(folder);
    return count;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // A folder of its own in the current one, the same on every start, so that
    // runs leave nothing behind elsewhere (libFuzzer ends without exit
    // handlers). Corpus paths must therefore be absolute.
    if ((mkdir("fuzz-run", 0755) != 0 && errno != EEXIST) || chdir("fuzz-run") != 0)
        std::abort();
    unsetenv("POSIXLY_CORRECT"); // the words are read with options and operands mixed
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const bool withMap = data[0] != 255;
    const std::size_t mapSize = withMap ? std::min<std::size_t>(data[0], size - 1) : 0;
    const std::vector<unsigned char> before(data + 1, data + 1 + mapSize);
    std::vector<std::string> words;
    if (1 + mapSize < size) {
        std::string rest(reinterpret_cast<const char*>(data + 1 + mapSize), size - 1 - mapSize);
        if (rest.find('/') != std::string::npos)
            return -1;
        std::size_t start = 0;
        for (std::size_t end; (end = rest.find('\0', start)) != std::string::npos; start = end + 1)
            words.push_back(rest.substr(start, end - start));
        words.push_back(rest.substr(start));
    }

    unlink(mapName.c_str());
    if (withMap) {
        std::FILE* map = std::fopen(mapName.c_str(), "wb");
        check(map != nullptr && std::fwrite(before.data(), 1, before.size(), map) == before.size(), "map written");
        check(std::fclose(map) == 0, "map closed");
    }

    std::vector<std::string> argvWords = words;
    argvWords.insert(argvWords.begin(), "tarnwick");
    std::vector<char*> argv;
    for (std::string& word : argvWords)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    optind = 0; // the parser starts afresh
    const int status = runCommandLine(static_cast<int>(argvWords.size()), argv.data());

    const Expected expected = readWords(words);
    const bool runs = !words.empty() && expected.valid && expected.operands.size() == 1
        && expected.operands[0] == mapName && withMap && before.size() > 8;
    std::vector<unsigned char> want = before;
    if (runs) {
        const std::uint8_t changed = applyFlagRequest(before[8], expected.request);
        if (before[0] == 0xC1 || expected.force)
            want[8] = changed;
    }
    bool exists = false;
    const std::vector<unsigned char> after = readMap(exists);
    check(status == 0 || status == 1, "status 0 or 1");
    check(status == (runs ? 0 : 1), "status as the command line and the map give");
    check(exists == withMap, "the map neither created nor removed");
    check(after.size() == before.size(), "the map's length kept");
    for (std::size_t i = 0; i < after.size(); ++i)
        check(i == 8 || after[i] == before[i], "no byte but byte 8 changed");
    check(after == want, "byte 8 as the flag rule gives");
    check(countEntries() == (withMap ? 1 : 0), "no other file created");
    return 0;
}
