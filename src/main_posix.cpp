// The entry point on Linux and other POSIX systems: the standard descriptors
// made safe, then the run.

#include "system.h"
#include "tarnwick.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace {

// A descriptor 0-2 closed at start would be handed out again by the next
// open, the map's, and standard output or error would then write into the
// map. Each closed one gets the null device, opened the wrong way round (as
// the C library does for set-user-ID programs), so that using it fails and a
// closed standard output is still reported as a failed one.
bool guardStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        struct stat status = {};
        if (fstat(fd, &status) == 0 || errno != EBADF)
            continue;
        if (open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY) != fd)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    // A file size limit fails the write, which is reported, instead of
    // ending the run unannounced.
    std::signal(SIGXFSZ, SIG_IGN);
    if (!guardStandardDescriptors()) {
        // Written only if standard error is open: it was not the one closed.
        std::fprintf(stderr, "%s: Couldnt open /dev/null in place of a closed standard stream\n",
                     argc > 0 ? argv[0] : progName);
        return 1;
    }
    return runProcess(argc, argv);
}
