#ifndef TARNWICK_MAPFILE_H
#define TARNWICK_MAPFILE_H

#include "flags.h"

// The invocation name exactly as typed; main sets it before anything else,
// and every diagnostic begins with it.
extern const char* progName;

// Shows the flag byte (byte 8) of the map at mapPath and, when the request
// changes it, writes the new byte in place: only when the map's first byte is
// the tag 0xC1 or forceWrite is set. No other byte is read or written and the
// length never changes. Returns the exit status: 0, or 1 after a diagnostic.
int runMapUpdate(const char* mapPath, const FlagRequest& request, bool forceWrite);

#endif
