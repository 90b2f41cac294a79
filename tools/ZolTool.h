// ZolTool.h - what the command groups of the zoltov tool share.
#ifndef ZOLTOV_TOOLS_ZOLTOOL_H
#define ZOLTOV_TOOLS_ZOLTOOL_H

#include <string>
#include <vector>

namespace zoltool {

// Exit statuses, as a Unix tool gives them.
constexpr int kExitOk = 0;
constexpr int kExitNotFound = 1;
constexpr int kExitUsage = 2;

using Args = std::vector<std::string>;

// Prints "zoltov: <message>" to standard error and returns status (for `return fail(...)`).
int fail(int status, const std::string& message);
// A usage error: the message, then a pointer to --help; returns kExitUsage.
int usage(const std::string& message);

// The command groups. args holds the words after the group's name.
int runWhich(const Args& args);
int runIni(const Args& args);
int runShm(const Args& args);
int runDemo(const Args& args);
// The reader side of the demo, started by runDemo as a second process.
int runDemoReader(const Args& args);

// The directory holding the running executable, without a trailing '/'.
std::string executableDir();

}  // namespace zoltool

#endif  // ZOLTOV_TOOLS_ZOLTOOL_H
