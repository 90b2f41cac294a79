// zoltov - the command-line face of the library: a demo of its typical uses and small
// commands over INI files, shared-memory segments and the program search path.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "ZolTool.h"

namespace zoltool {

namespace {

const char kHelp[] =
    "Usage: zoltov COMMAND [ARGUMENTS]\n"
    "\n"
    "Commands:\n"
    "  demo                      run two typical uses of the library end to end:\n"
    "                            values passed to a second process through shared\n"
    "                            memory, and settings read from a sample INI file\n"
    "  ini sections FILE         list the sections of an INI file, in file order\n"
    "  ini get FILE SECTION ITEM [--type TYPE]\n"
    "                            print an item of SECTION (\"\" for the lines before the\n"
    "                            first section); TYPE is int, long, double, char,\n"
    "                            string (the default: the first part of the value) or\n"
    "                            parts (every comma-separated part, one per line)\n"
    "  shm list                  list this user's shared-memory segments\n"
    "  shm show NAME             show a segment's size, connection count and data\n"
    "  shm remove NAME [--force] remove a segment; without --force only one that no\n"
    "                            running process has mapped (one left by a crash)\n"
    "  shm repair [NAME]         recount a segment's connections (every segment's without\n"
    "                            NAME) from the processes that map it, and remove it when\n"
    "                            none does: fixes what a crashed user left\n"
    "  which PROGRAM             print where PROGRAM is found along PATH\n"
    "\n"
    "Options:\n"
    "  -h, --help                show this help and exit\n"
    "  --version                 show the version and exit\n"
    "\n"
    "Exit status: 0 on success, 1 when the section, item, segment or program is not\n"
    "found, 2 for bad usage, a file that cannot be read, a segment in use (remove\n"
    "without --force), a segment whose mutex stays busy (repair) or a failed demo.\n";

}  // namespace

int fail(int status, const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "zoltov: %s\n", message.c_str());
    return status;
}

int usage(const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "zoltov: %s\nTry 'zoltov --help' for more information.\n",
                 message.c_str());
    return kExitUsage;
}

std::string executableDir() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return ".";
    }
    path[n] = '\0';
    char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        return ".";
    }
    *slash = '\0';
    return path[0] != '\0' ? path : "/";
}

}  // namespace zoltool

int main(int argc, char** argv) {
    using namespace zoltool;
    Args args(argv + 1, argv + argc);
    // --help anywhere wins, so that `zoltov ini get --help` helps rather than fails.
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return kExitOk;
        }
        if (arg == "--version") {
            std::printf("zoltov %s\n", ZOL_TOOL_VERSION);
            return kExitOk;
        }
    }
    if (args.empty()) {
        return usage("missing command");
    }
    const std::string command = args.front();
    Args rest(args.begin() + 1, args.end());
    int status;
    if (command == "which") {
        status = runWhich(rest);
    } else if (command == "ini") {
        status = runIni(rest);
    } else if (command == "shm") {
        status = runShm(rest);
    } else if (command == "demo") {
        status = runDemo(rest);
    } else if (command == "demo-reader") {
        // Internal: the second process of the demo.
        status = runDemoReader(rest);
    } else {
        status = usage("unknown command '" + command + "'");
    }
    // A full disk or closed pipe on standard output is a failure, not a silent success.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        return fail(kExitUsage, "cannot write to standard output");
    }
    return status;
}
