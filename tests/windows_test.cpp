// Starts tarnwick.exe as Windows programs do, with CreateProcessW, for what
// the end-to-end table cannot give it through Wine: a console whose screen
// is read back, and a word that is not valid UTF-16. It must run in a
// console (under Wine, in a pseudo-terminal) and writes nothing there until
// the screens have been read.
//
// usage: windows_test.exe path\to\tarnwick.exe

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

namespace {

const std::string map("\xC1\x83\x2A\x9E\x80\x00\x1D\x00\x21\x00\x1A\x00", 12);

// The program's path in every command line, in three scripts and a folder.
#define PROGRAM "Инструменты 工具\\tarnwick.exe"

// Each run's arguments, and its screen's top rows in UTF-8, without their
// trailing blanks; the status is 1. The console is 80 columns wide.
const std::pair<const wchar_t*, std::string> cases[] = {
    {L" -o -- DM-Карта.ut2 Café 🔥",
     PROGRAM ": Unknown options: \"Café\" \"🔥\"\nTarnwick " TARNWICK_VERSION " by Ostrel\n"},
    {L" -o m\xD800.ut2", PROGRAM ": Couldnt read the command line: a word is not valid\nUnicode\n"},
};

// A map a run must not reach: the one that a lossy conversion of a lone
// surrogate would name, and whose flags the screen would then show.
const wchar_t* const lossyName = L"m\xFFFD.ut2";

std::string screen(HANDLE console, std::size_t length)
{
    std::string shown;
    for (SHORT row = 0; shown.size() < length && row < 20; ++row) {
        wchar_t cells[80] = {};
        char line[320] = {};
        DWORD read = 0;
        ReadConsoleOutputCharacterW(console, cells, 80, {0, row}, &read);
        WideCharToMultiByte(CP_UTF8, 0, cells, 80, line, sizeof line, nullptr, nullptr);
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
    std::ofstream(lossyName, std::ios::binary) << map;
    int failures = 0;
    for (const auto& [arguments, expected] : cases) {
        DWORD cleared = 0, status = 255;
        FillConsoleOutputCharacterW(console, L' ', 80 * 20, {0, 0}, &cleared);
        SetConsoleCursorPosition(console, {0, 0});
        const UINT codePage = GetConsoleOutputCP();
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        std::wstring commandLine = L"\"" PROGRAM "\"" + std::wstring(arguments);
        if (CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)
            && WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0)
            GetExitCodeProcess(process.hProcess, &status);
        const std::string shown = screen(console, expected.size());
        const bool passed = status == 1 && shown == expected && GetConsoleOutputCP() == codePage;
        if (!passed)
            std::printf("FAIL %ls: status %lu, code page %u, screen \"%s\"\n", arguments, status, GetConsoleOutputCP(),
                        shown.c_str());
        failures += !passed;
    }
    std::printf("%d cases, %d failed\n", static_cast<int>(std::size(cases)), failures);
    return failures == 0 ? 0 : 1;
}
