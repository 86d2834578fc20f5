// Starts tarnwick.exe as Windows programs do, with CreateProcessW, for what
// the end-to-end table cannot give it through Wine: a console whose screen
// is read back, and a word that is not valid UTF-16. It must run in a
// console (under Wine, in a pseudo-terminal) and writes nothing there until
// the screens have been read.
//
// usage: windows_test.exe path\to\tarnwick.exe

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace {

const char mapBytes[] = "\xC1\x83\x2A\x9E\x80\x00\x1D\x00\x21\x00\x1A\x00";
const std::string map(mapBytes, sizeof mapBytes - 1);

// The program's path in every command line, in three scripts and a folder.
#define PROGRAM "Инструменты 工具\\tarnwick.exe"

struct Case {
    const wchar_t* arguments;
    DWORD status;
    const char* screen; // UTF-8: its top rows, their trailing blanks dropped
};

const Case cases[] = {
    {L" -o -- DM-Карта.ut2 Café 🔥", 1,
     PROGRAM ": Unknown options: \"Café\" \"🔥\"\nTarnwick " TARNWICK_VERSION " by Ostrel\n"},
    // The console is 80 columns wide: the line wraps.
    {L" -o m\xD800.ut2", 1, PROGRAM ": Couldnt read the command line: a word is not valid\nUnicode\n"},
};

// The maps a run must leave alone: the one named, and the one a lossy
// conversion of a lone surrogate would name.
const wchar_t* const maps[] = {L"m\xFFFD.ut2", L"DM-Карта.ut2"};

std::string screen(HANDLE console, std::size_t length)
{
    CONSOLE_SCREEN_BUFFER_INFO info = {};
    GetConsoleScreenBufferInfo(console, &info);
    std::string shown;
    for (SHORT row = 0; shown.size() < length && row < 20; ++row) {
        wchar_t cells[200] = {};
        char line[800] = {};
        DWORD read = 0;
        ReadConsoleOutputCharacterW(console, cells, std::min<DWORD>(info.dwSize.X, 200), {0, row}, &read);
        WideCharToMultiByte(CP_UTF8, 0, cells, static_cast<int>(read), line, sizeof line, nullptr, nullptr);
        shown += std::string(line).erase(std::string(line).find_last_not_of(' ') + 1) + "\n";
    }
    return shown.substr(0, length);
}

} // namespace

int wmain(int, wchar_t* argv[]); // called by the C runtime; no header declares it
int wmain(int, wchar_t* argv[])
{
    CreateDirectoryW(L"windows-test", nullptr);
    SetCurrentDirectoryW(L"windows-test");
    CreateDirectoryW(L"Инструменты 工具", nullptr);
    CopyFileW(argv[1], L"" PROGRAM, FALSE);
    HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    int failures = 0;
    for (const Case& c : cases) {
        for (const wchar_t* name : maps)
            std::ofstream(name, std::ios::binary) << map;
        DWORD cleared = 0, status = 255;
        FillConsoleOutputCharacterW(console, L' ', 200 * 20, {0, 0}, &cleared);
        SetConsoleCursorPosition(console, {0, 0});
        UINT codePage = GetConsoleOutputCP();
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        std::wstring commandLine = L"\"" PROGRAM "\"" + std::wstring(c.arguments);
        if (CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                           &process)) {
            WaitForSingleObject(process.hProcess, 60000);
            GetExitCodeProcess(process.hProcess, &status);
        }
        std::string shown = screen(console, std::string(c.screen).size());
        bool mapsKept = std::all_of(std::begin(maps), std::end(maps), [](auto name) {
            std::ifstream file(name, std::ios::binary);
            return std::string(std::istreambuf_iterator<char>(file), {}) == map;
        });
        const char* failure = status != c.status ? "status"
            : shown != c.screen                  ? "screen"
            : !mapsKept                          ? "a map changed"
            : GetConsoleOutputCP() != codePage   ? "the console's code page changed"
                                                 : nullptr;
        if (failure != nullptr)
            std::printf("FAIL %ls: %s (status %lu, screen \"%s\")\n", c.arguments, failure, status, shown.c_str());
        failures += failure != nullptr;
    }
    std::printf("%d cases, %d failed\n", static_cast<int>(std::size(cases)), failures);
    return failures == 0 ? 0 : 1;
}
