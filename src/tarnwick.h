#ifndef TARNWICK_TARNWICK_H
#define TARNWICK_TARNWICK_H

// The command line, as each system's entry point hands it over
// (main_posix.cpp, main_windows.cpp).

// The whole run but for the process's standard streams; returns the exit status.
int runCommandLine(int argc, char* argv[]);

// The whole run, after the entry point has made its words UTF-8 and its
// standard streams safe; returns the exit status.
int runProcess(int argc, char* argv[]);

#endif
