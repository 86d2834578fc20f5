// Starts tarnwick.exe as Windows programs do, with CreateProcessW, for what
// the end-to-end table cannot give it through Wine: a word that is not valid
// UTF-16, a console whose screen is read back, and a lock that another
// program holds. It must run in a console (under Wine, in a pseudo-terminal)
// and writes nothing there until the screen has been read.
//
// usage: windows_test.exe path\to\tarnwick.exe

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const char map[] = "\xC1\x83\x2A\x9E\x80\x00\x1D\x00\x21\x00\r\n\x1A\x00\r\n";
const std::wstring shown = L"Current Flags [00100001]:\n AllowDownload\n Official\n\n"
                           L"    New Flags [00000001]:\n AllowDownload\n\n";
const std::wstring usage = L"Tarnwick 1.0 by Ostrel\n A small app to set flags on Unreal Tournament Maps\n"
                           L" (tested on UT2K4 .ut2 maps)\n\nUsage: ";

struct Case {
    const char* name;
    const wchar_t* commandLine; // its first word is the program's path
    bool console; // else standard output and error go to a file
    bool locked; // the map's lock is held meanwhile, as another run would hold it
    DWORD status;
    std::wstring output; // with \n for each line end; in a console, the screen from its top
};

const Case cases[] = {
    {"a word with a lone surrogate", L"tarnwick.exe -o m\xD800.ut2", false, false, 1,
     L"tarnwick: Couldnt read the command line: a word is not valid Unicode\n"},
    {"another run holds the lock", L"tarnwick.exe -o map.ut2", false, true, 1,
     shown + L"tarnwick.exe: Couldnt write to map file\n"},
    {"names in three scripts, in a console", L"\"Инструменты 工具\\tarnwick.exe\" -o -- DM-Карта.ut2 Café 🔥", true,
     false, 1, L"Инструменты 工具\\tarnwick.exe: Unknown options: \"Café\" \"🔥\"\n" + usage + L"Инструменты 工具\\"},
};

HANDLE create(const wchar_t* name, const void* bytes, DWORD size)
{
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE file = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                              CREATE_ALWAYS, 0, nullptr);
    DWORD done = 0;
    WriteFile(file, bytes, size, &done, nullptr);
    return file;
}

std::string contents(const wchar_t* name)
{
    std::string bytes(4096, '\0');
    HANDLE file
        = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD done = 0;
    ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &done, nullptr);
    CloseHandle(file);
    return bytes.substr(0, done);
}

// What the console shows from its top, each row's trailing blanks dropped
// and a line end added, for as many rows as the text expects.
std::wstring screen(HANDLE console, const std::wstring& text)
{
    CONSOLE_SCREEN_BUFFER_INFO info = {};
    GetConsoleScreenBufferInfo(console, &info);
    std::wstring shown;
    for (SHORT row = 0; shown.size() < text.size() && row < info.dwSize.Y; ++row) {
        std::vector<wchar_t> cells(info.dwSize.X);
        DWORD read = 0;
        ReadConsoleOutputCharacterW(console, cells.data(), info.dwSize.X, {0, row}, &read);
        std::wstring line(cells.data(), read);
        shown += line.erase(line.find_last_not_of(L' ') + 1) + L"\n";
    }
    return shown.substr(0, text.size());
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    if (argc != 2)
        return 2;
    CreateDirectoryW(L"windows-test", nullptr);
    SetCurrentDirectoryW(L"windows-test");
    CreateDirectoryW(L"Инструменты 工具", nullptr);
    CopyFileW(argv[1], L"Инструменты 工具\\tarnwick.exe", FALSE);
    HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    std::vector<std::string> failures;
    for (const Case& c : cases) {
        // The maps a run must leave alone: the one named, and the one a lossy
        // conversion of a lone surrogate would name.
        for (const wchar_t* name : {L"map.ut2", L"m\xFFFD.ut2", L"DM-Карта.ut2"})
            CloseHandle(create(name, map, sizeof map - 1));
        HANDLE output = c.console ? nullptr : create(L"output.txt", "", 0);
        HANDLE held = CreateFileW(L"map.ut2", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  0, nullptr);
        OVERLAPPED farPastTheEnd = {};
        farPastTheEnd.OffsetHigh = MAXLONG;
        if (c.locked)
            LockFileEx(held, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &farPastTheEnd);
        if (c.console) { // a blank screen, the cursor at its top
            DWORD cleared = 0;
            FillConsoleOutputCharacterW(console, L' ', 0x7FFFFFFF, {0, 0}, &cleared);
            SetConsoleCursorPosition(console, {0, 0});
        }
        UINT codePage = GetConsoleOutputCP();
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = c.console ? 0 : STARTF_USESTDHANDLES;
        startup.hStdOutput = startup.hStdError = output;
        PROCESS_INFORMATION process = {};
        std::wstring commandLine = c.commandLine;
        DWORD start = GetTickCount();
        DWORD status = 255;
        if (CreateProcessW(c.console ? nullptr : argv[1], &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                           &startup, &process)) {
            WaitForSingleObject(process.hProcess, 60000);
            GetExitCodeProcess(process.hProcess, &status);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        DWORD took = GetTickCount() - start;
        CloseHandle(held);
        if (output != nullptr)
            CloseHandle(output);

        std::wstring got;
        if (c.console) {
            got = screen(console, c.output);
        } else {
            std::string bytes = contents(L"output.txt");
            for (std::size_t end; (end = bytes.find("\r\n")) != std::string::npos;)
                bytes.replace(end, 2, "\n");
            got.resize(MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0));
            MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &got[0],
                                static_cast<int>(got.size()));
        }
        if (status != c.status)
            failures.push_back(std::string(c.name) + ": status " + std::to_string(status));
        if (got != c.output)
            failures.push_back(std::string(c.name) + ": other output");
        for (const wchar_t* name : {L"map.ut2", L"m\xFFFD.ut2", L"DM-Карта.ut2"})
            if (contents(name) != std::string(map, sizeof map - 1))
                failures.push_back(std::string(c.name) + ": a map was changed");
        if (GetConsoleOutputCP() != codePage)
            failures.push_back(std::string(c.name) + ": the console's code page was changed");
        if (c.locked && took < 500)
            failures.push_back(std::string(c.name) + ": no wait for the lock");
    }
    for (const std::string& failure : failures)
        std::printf("FAIL %s\n", failure.c_str());
    std::printf("%d cases, %d failures\n", static_cast<int>(sizeof cases / sizeof cases[0]),
                static_cast<int>(failures.size()));
    return failures.empty() ? 0 : 1;
}
