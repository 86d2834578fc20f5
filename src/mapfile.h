#ifndef TARNWICK_MAPFILE_H
#define TARNWICK_MAPFILE_H

#include "flags.h"

// Shows the flag byte (byte 8) of the map at mapPath and, when the request
// changes it, writes the new byte in place: only when the file begins with
// the package tag C1 83 2A 9E or forceWrite is set, never into a compressed
// package (.uz2), and only into the file that was read, still as it was read
// and still under its name. No byte but 0 to 9 is read, none but 8 is
// written, and the length never changes. Returns the exit status: 0, or 1
// after a diagnostic.
int runMapUpdate(const char* mapPath, const FlagRequest& request, bool forceWrite);

#endif
