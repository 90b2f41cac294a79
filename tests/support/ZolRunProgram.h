// Runs a program as a user would: a separate process, its standard output and error
// captured, its exit status reported, everything bounded in time.
#ifndef ZOLTOV_TESTS_ZOLRUNPROGRAM_H
#define ZOLTOV_TESTS_ZOLRUNPROGRAM_H

#include <string>
#include <utility>
#include <vector>

namespace zoltest {

struct ProgramResult {
    int exitCode = -1;  // the exit status, or -1 for a signal or a time-out
    bool timedOut = false;
    std::string out;  // standard output
    std::string err;  // standard error
};

// One change to the child's environment: set name to value, or unset it.
struct EnvChange {
    std::string name;
    std::string value;
    bool unset = false;
};

// Starts program (a path) with arguments, standard input from /dev/null, and waits at
// most timeoutMs for it to end and close its output; a program still running then is
// killed (timedOut set). Throws std::runtime_error when the process cannot be started.
ProgramResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::vector<EnvChange>& environment = {}, int timeoutMs = 20000);

}  // namespace zoltest

#endif  // ZOLTOV_TESTS_ZOLRUNPROGRAM_H
