// The entry point on Windows: the words of the command line from UTF-16 to
// UTF-8, then the run.

#include "system.h"
#include "tarnwick.h"

#include <windows.h>

#include <cstdlib>
#include <memory>

namespace {

struct FreeBlock {
    void operator()(void* block) const { std::free(block); }
};

// The first count words in UTF-8, in one block: the argv array, then the
// texts. A word that is not valid UTF-16 (a lone surrogate) has no exact
// UTF-8 form, and a near one could name another file: then there is no block.
std::unique_ptr<char[], FreeBlock> toUtf8(int count, wchar_t* argv[])
{
    const std::size_t table = (count + 1) * sizeof(char*); // argv[count] is the null pointer
    std::size_t bytes = table;
    for (wchar_t** word = argv; word != argv + count; ++word) {
        int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, *word, -1, nullptr, 0, nullptr, nullptr);
        if (size <= 0)
            return nullptr;
        bytes += size;
    }
    std::unique_ptr<char[], FreeBlock> block(static_cast<char*>(std::calloc(bytes, 1)));
    if (block == nullptr)
        return nullptr;
    char** words = reinterpret_cast<char**>(block.get()); // calloc's memory suits any type
    std::size_t used = table;
    for (wchar_t** word = argv; word != argv + count; ++word, ++words) {
        *words = block.get() + used;
        used += WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, *word, -1, *words, static_cast<int>(bytes - used),
                                    nullptr, nullptr);
    }
    return block;
}

} // namespace

// Windows gives the words as UTF-16; the narrow ones would have passed
// through the system's code page, which turns the characters it lacks into
// '?' or a look-alike, so that "Café.ut2" could reach the tool as another
// map's name. The C runtime calls it, as it calls main; no header declares it.
int wmain(int argc, wchar_t* argv[]);
// cppcheck-suppress unusedFunction
int wmain(int argc, wchar_t* argv[])
{
    std::unique_ptr<char[], FreeBlock> words = toUtf8(argc, argv);
    if (words == nullptr) {
        // The program's own name, as in every message, when only a later word
        // failed. The C runtime always gives argv[0], if only an empty one.
        std::unique_ptr<char[], FreeBlock> first = toUtf8(1, argv);
        const char* name = first != nullptr ? reinterpret_cast<char**>(first.get())[0] : progName;
        printTo(stderr, "%s: Couldnt read the command line: a word is not valid Unicode\n", name);
        return 1;
    }
    return runProcess(argc, reinterpret_cast<char**>(words.get()));
}
