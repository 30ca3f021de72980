#pragma once

#include <sys/resource.h>

#include <chrono>
#include <string>
#include <vector>

namespace harness
{

// How to run one program: its command line, additions to the environment,
// a hard time bound, and what to do with its output.
struct ChildOptions {
    std::vector<std::string> argv;
    std::vector<std::string> env; // "NAME=value", replacing our own NAME if set
    std::chrono::milliseconds limit{30000};
    // Close our end of its standard output once this many bytes have come
    // (0: at once, negative: never), as a reader that goes away would.
    long closeStdoutAfter = -1;
};

struct ChildResult {
    bool started = false;
    int status = -1;       // exit status, or -1 when it did not exit normally
    int signal = 0;        // the signal that ended it, if any
    bool timedOut = false; // killed at the time bound
    std::string out;
    std::vector<std::chrono::steady_clock::time_point> lineEnds; // when each line of `out` came
    std::string err;
    std::chrono::steady_clock::time_point begin;
    std::chrono::steady_clock::time_point end;
    struct rusage usage {
    }; // of the program and the children it waited for
};

// Runs the program in a process group of its own (so that a kill at the
// bound also reaches whatever it started) and waits for it.
ChildResult runChild(const ChildOptions &options);

// Makes a directory holding a `setserial` that prints nothing and succeeds,
// to put first in PATH: a pseudo-terminal has no serial driver to set.
// Returns the directory, or an empty string on failure.
std::string makeQuietSetserial();
// The same with a `setserial` that runs the real one (the next in PATH),
// its complaints appended to the file $TORVEX_SETSERIAL_ERR, so that they
// are not taken for the flasher's own.
std::string makeSetserialWithOwnStderr();
// The same with a `setserial` that appends a line to <dir>/calls for each
// call: the wall-clock time ($EPOCHREALTIME), the process that called it
// (through a shell), the port, and the file the port's name leads to.
std::string makeLoggingSetserial();
// Removes a directory made by any of the above.
void removeSetserial(const std::string &dir);

// PATH=<dir>:<our PATH>
std::string pathWith(const std::string &dir);

} // namespace harness
