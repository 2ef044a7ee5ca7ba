#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Running a helper program and taking its answer from its standard output.

namespace platform {

struct CProgramOutput {
    // False when the program could not be started at all (missing, not
    // executable); nothing else is meaningful then.
    bool bStarted = false;
    // The time limit ran out and the program was killed.
    bool bTimedOut = false;
    // The program ended by itself with this status (0 to 255); -1 when a
    // signal ended it or it was killed. On Windows an exit code above 255
    // (the system's status of a crash) is reported as -1; one that another
    // program's TerminateProcess gave is reported as it is.
    int nExitStatus = -1;
    // What it wrote to its standard output, at most the capacity asked for;
    // anything beyond that is read and dropped, so the program never blocks
    // on a full pipe.
    std::string strStdout;
};

// Runs vecArgv[0] (a path; PATH is not searched, and on Windows no ".exe" is
// added) with the given arguments (on Windows quoted into one command line
// that the C runtime's rules split back into the same words),
// standard input empty, standard error shared with the caller, and waits at
// most nTimeLimitMs for it to end. A program still running at the limit is
// killed together with everything it started. Returns the outcome; never
// throws, never waits longer than the limit (plus the moment a kill takes).
CProgramOutput RunProgramForOutput(const std::vector<std::string>& vecArgv, int nTimeLimitMs,
                                   size_t nStdoutCapacity = 65536);

}  // namespace platform
