// ZolTool.h - what the commands of the zoltov tool share: the invocation a command gets,
// exit statuses, messages and the escaping of names for output.
#ifndef ZOLTOV_TOOLS_ZOLTOOL_H
#define ZOLTOV_TOOLS_ZOLTOOL_H

#include <map>
#include <string>
#include <vector>

namespace zoltool {

// Exit statuses, documented in zoltov(1).
constexpr int kExitOk = 0;
constexpr int kExitNotFound = 1;  // the section, item, segment or program does not exist
constexpr int kExitUsage = 2;     // the command line is wrong
constexpr int kExitFailed = 3;    // the command could not do its work (reason on stderr)
constexpr int kExitDeadlock = 4;  // locks: a deadlock among the named objects

using Args = std::vector<std::string>;

// A parsed command line: the words left after the options, and the options given
// (long name -> value, "" for a flag).
struct Invocation {
    Args operands;
    std::map<std::string, std::string> options;
    bool has(const char* option) const { return options.count(option) != 0; }
};

// Prints "zoltov COMMAND: <message>" (the running command's words; "zoltov: <message>" before
// one is known) to standard error and returns status (for `return fail(...)`).
int fail(int status, const std::string& message);
// strerror of errno, for "cannot open 'x': <reason>".
std::string reason();
// name as it is safe to print: backslash, quotes and every byte outside printable ASCII
// become C escapes (\n, \t, \\, \xHH), so a name cannot forge rows or lines.
std::string escaped(const std::string& name);

// The commands, each called with its checked operands and options.
int runDemo(const Invocation& in);
int runIniSections(const Invocation& in);
int runIniGet(const Invocation& in);
int runShmList(const Invocation& in);
int runShmShow(const Invocation& in);
int runShmRemove(const Invocation& in);
int runShmRepair(const Invocation& in);
int runWhich(const Invocation& in);
int runLocks(const Invocation& in);

// The directory holding the running executable, without a trailing '/'.
std::string executableDir();

}  // namespace zoltool

#endif  // ZOLTOV_TOOLS_ZOLTOOL_H
