// zoltov - the command-line face of the library: a demo of its typical uses and small
// commands over INI files, shared-memory segments and the program search path.
//
// Every command is one row of kCommands: its words, operands, options and help. The
// dispatcher finds the row, parses the options the row declares (GNU style: --name VALUE,
// --name=VALUE, -x, and -- ending options), checks the operand count and calls the row's
// function, so every command gets the same conventions for free. Every message goes out as
// "zoltov COMMAND: ..." (fail() adds the command that is running), and every usage error
// ends with the help to read.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "ZolTool.h"
#include "qelLocks.h"

namespace zoltool {

namespace {

struct Option {
    const char* name;   // long name, without the dashes
    char letter;        // short form, or 0
    const char* value;  // the value's placeholder, or nullptr for a flag
    const char* help;
};

struct Command {
    const char* words;     // "shm remove"
    const char* synopsis;  // operands and options, for the usage lines
    size_t minOperands;
    size_t maxOperands;
    const Option* options;  // terminated by a row with a null name
    int (*run)(const Invocation&);
    const char* summary;  // one line, for the lists of commands
    const char* help;     // what the command does, for `zoltov help COMMAND`
};

const Option kNoOptions[] = {{nullptr, 0, nullptr, nullptr}};
const Option kGetOptions[] = {
    {"type", 't', "TYPE", "int, long, double, char, string (the default) or parts"},
    {nullptr, 0, nullptr, nullptr}};
const Option kRemoveOptions[] = {
    {"force", 'f', nullptr, "remove the segment even while live processes are connected to it"},
    {nullptr, 0, nullptr, nullptr}};

const Option kLocksOptions[] = {
    {"name", 'n', "PATTERN", "only objects whose name matches the shell pattern"},
    {"pid", 'p', "PID", "only objects that process owns, waits for or has open"},
    {"json", 'j', nullptr, "one JSON document instead of text"},
    {"watch", 'w', nullptr, "look again every interval until interrupted"},
    {"interval", 'i', "N", "seconds between looks with --watch (default 2)"},
    {nullptr, 0, nullptr, nullptr}};

const Command kCommands[] = {
    {"demo", "", 0, 0, kNoOptions, runDemo, "Tell a short story of the library's typical uses.",
     "Runs a short story of the library's typical uses: two processes share a segment\n"
     "and pace each other with named events, a thread works under a read-write lock,\n"
     "and settings come from a sample INI file. Everything it creates is removed on\n"
     "every exit path, also when its output is closed early.\n"},
    {"ini sections", "FILE", 1, 1, kNoOptions, runIniSections, "List the sections of an INI file.",
     "Lists the sections of the INI file FILE in file order, upper-cased as the\n"
     "library reports them. FILE must be a regular file.\n"},
    {"ini get", "FILE SECTION ITEM [--type TYPE]", 3, 3, kGetOptions, runIniGet,
     "Print one item of an INI file, as text or as a number.",
     "Prints ITEM of SECTION (\"\" for the lines before the first section). The default\n"
     "type prints the first comma-separated part of the value; parts prints every part,\n"
     "one a line. A number that does not parse or does not fit its type is an error\n"
     "(status 3) whose message shows the number the library reads from it.\n"},
    {"shm list", "", 0, 0, kNoOptions, runShmList, "List this user's shared-memory segments.",
     "Lists this user's shared-memory segments: data size in bytes, the connection\n"
     "count kept in the segment, the live processes connected to it, and its name\n"
     "(escaped: unprintable bytes as \\xHH).\n"},
    {"shm show", "NAME", 1, 1, kNoOptions, runShmShow,
     "Show a segment's size, connections, processes and first bytes.",
     "Shows a segment's size, connection count, the live processes connected to it (pid,\n"
     "command, connections) and its first data bytes.\n"},
    {"shm remove", "NAME [--force]", 1, 1, kRemoveOptions, runShmRemove,
     "Remove a segment that no live process uses (or, forced, one in use).",
     "Removes a segment with its key file. Without --force only one that no live process\n"
     "is connected to; a process still connected to a forcibly removed segment keeps its\n"
     "memory, but nobody else can reach it. Waits at most 5 s for a segment that another\n"
     "process keeps locked (status 3).\n"},
    {"shm repair", "[NAME]", 0, 1, kNoOptions, runShmRepair,
     "Take back what crashed processes held, now rather than at the next use.",
     "Takes back the holds and connections of processes that ended without closing,\n"
     "from the segment NAME and its mutex, or from every object without NAME; removes the\n"
     "objects no live process holds, and links or special files planted under object\n"
     "names. The library does the same at the next open or close of each name; this does\n"
     "it at once. Waits at most 5 s in all for objects that other processes keep locked\n"
     "(status 3).\n"},
    {"locks", "[--name PATTERN] [--pid PID] [--json] [--watch [--interval N]]", 0, 0, kLocksOptions,
     runLocks, "Show who holds and who waits for each named object, and deadlocks.",
     "Shows every named mutex with its owner (pid, thread id, command), recursion depth\n"
     "and waiters, every named event with its state and waiters, every segment with its\n"
     "users, and the deadlocks among them: cycles of threads each waiting for a mutex\n"
     "the next one holds, or for events only they have open. It waits for no process\n"
     "and reads for at most 2 s; what it could not read is listed. Status 4 when a\n"
     "deadlock is shown.\n"},
    {"which", "PROGRAM", 1, 1, kNoOptions, runWhich, "Find a program along PATH.",
     "Prints the first PATH entry that holds PROGRAM (a PROGRAM with a '/' is checked as\n"
     "given). Like the library's search, it reports any entry of that name: one that is\n"
     "not executable, or a directory, is found too.\n"},
};

const char kExitStatusHelp[] =
    "Exit status: 0 success, 1 not found (section, item, segment, program), 2 usage\n"
    "error, 3 failure (unreadable file, value that does not convert, segment in use,\n"
    "busy mutex, failed demo, output that cannot be written), 4 deadlock (locks).\n";

// The command words of the running command ("ini get"), or of the group being asked about
// ("shm"), for the prefix of every message; "" before either is known.
std::string g_running;

// The group of a command ("shm" of "shm list"), or "" for a command of one word.
std::string groupOf(const Command& c) {
    const char* space = std::strchr(c.words, ' ');
    return space != nullptr ? std::string(c.words, space) : std::string();
}

bool isGroup(const std::string& word) {
    for (const Command& c : kCommands) {
        if (!word.empty() && groupOf(c) == word) {
            return true;
        }
    }
    return false;
}

void printUsageLine(const Command& c) {
    std::printf("  zoltov %s%s%s\n", c.words, c.synopsis[0] != '\0' ? " " : "", c.synopsis);
}

// The usage line and the one-line summary of every command of group ("" for all).
void printCommandList(const std::string& group) {
    for (const Command& c : kCommands) {
        if (group.empty() || groupOf(c) == group) {
            printUsageLine(c);
            std::printf("      %s\n", c.summary);
        }
    }
}

void printGlobalHelp() {
    std::printf("Usage: zoltov [OPTION] COMMAND [ARGUMENT...]\n\nCommands:\n");
    printCommandList("");
    std::printf(
        "  zoltov help [GROUP|COMMAND]\n"
        "      Show this help, the commands of a group (ini, shm) or a command's help.\n\n"
        "Options:\n"
        "  -h, --help     show this help, or a command's help after the command\n"
        "  -V, --version  show the version\n\n%s"
        "See zoltov(1) for more.\n",
        kExitStatusHelp);
}

void printGroupHelp(const std::string& group) {
    std::printf("Usage: zoltov %s COMMAND [ARGUMENT...]\n\nCommands:\n", group.c_str());
    printCommandList(group);
    std::printf("\nSee 'zoltov %s COMMAND --help' for one command's help.\n", group.c_str());
}

void printCommandHelp(const Command& c) {
    std::printf("Usage:\n");
    printUsageLine(c);
    std::printf("\n%s", c.help);
    if (c.options[0].name != nullptr) {
        std::printf("\nOptions:\n");
        for (const Option* o = c.options; o->name != nullptr; ++o) {
            std::string left = std::string("-") + o->letter + ", --" + o->name;
            if (o->value != nullptr) {
                left += std::string(" ") + o->value;
            }
            std::printf("  %-20s %s\n", left.c_str(), o->help);
        }
    }
    std::printf("  %-20s show this help\n", "-h, --help");
}

// Reports a wrong command line (with the running command's prefix) and the help to read:
// the running command's or group's, else the global one.
int usage(const std::string& message) {
    fail(kExitUsage, message);
    std::fprintf(stderr, "Try 'zoltov %s%s--help' for more information.\n", g_running.c_str(),
                 g_running.empty() ? "" : " ");
    return kExitUsage;
}

// The command whose words start args; consumed tells how many words it took. A group
// word alone ("shm") is reported by the caller.
const Command* findCommand(const Args& args, size_t& consumed) {
    for (const Command& c : kCommands) {
        std::string group = groupOf(c);
        if (group.empty()) {
            if (!args.empty() && args[0] == c.words) {
                consumed = 1;
                return &c;
            }
        } else if (args.size() >= 2 && args[0] == group && args[1] == c.words + group.size() + 1) {
            consumed = 2;
            return &c;
        }
    }
    return nullptr;
}

const Option* findOption(const Command& c, const std::string& arg, std::string& value,
                         bool& inlineValue) {
    inlineValue = false;
    for (const Option* o = c.options; o->name != nullptr; ++o) {
        std::string longForm = std::string("--") + o->name;
        if (arg == longForm || (o->letter != 0 && arg == std::string("-") + o->letter)) {
            return o;
        }
        if (o->value != nullptr && arg.rfind(longForm + "=", 0) == 0) {
            value = arg.substr(longForm.size() + 1);
            inlineValue = true;
            return o;
        }
    }
    return nullptr;
}

// Parses args (the words after the command's) into in; -1 when they are right, else the
// exit status of the usage error already reported. -h/--help print the command's help.
int parse(const Command& c, const Args& args, Invocation& in) {
    bool optionsEnd = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
            in.operands.push_back(arg);
        } else if (arg == "--") {
            optionsEnd = true;
        } else if (arg == "--help" || arg == "-h") {
            printCommandHelp(c);
            return kExitOk;
        } else {
            std::string value;
            bool inlineValue = false;
            const Option* o = findOption(c, arg, value, inlineValue);
            if (o == nullptr) {
                return usage("unknown option '" + escaped(arg) + "'");
            }
            if (o->value != nullptr && !inlineValue) {
                if (i + 1 == args.size()) {
                    return usage(std::string("option '--") + o->name + "' needs a value");
                }
                value = args[++i];
            }
            in.options[o->name] = value;
        }
    }
    const std::string shape = std::string(" (usage: zoltov ") + c.words +
                              (c.synopsis[0] != '\0' ? " " : "") + c.synopsis + ")";
    if (in.operands.size() < c.minOperands) {
        return usage("missing operand" + shape);
    }
    if (in.operands.size() > c.maxOperands) {
        return usage("unexpected argument '" + escaped(in.operands[c.maxOperands]) + "'" + shape);
    }
    return -1;
}

// zoltov help [GROUP|COMMAND]
int help(const Args& words) {
    size_t consumed = 0;
    const Command* c = findCommand(words, consumed);
    if (words.empty() || (words.size() == 1 && (words[0] == "--help" || words[0] == "-h"))) {
        printGlobalHelp();
    } else if (words.size() == 1 && isGroup(words[0])) {
        printGroupHelp(words[0]);
    } else if (c != nullptr && consumed == words.size()) {
        printCommandHelp(*c);
    } else {
        g_running = "help";
        std::string asked;
        for (const std::string& word : words) {
            asked += (asked.empty() ? "" : " ") + escaped(word);
        }
        return usage("no command or group '" + asked + "'");
    }
    return kExitOk;
}

int dispatch(const Args& args) {
    if (args.empty()) {
        return usage("missing command");
    }
    const std::string& first = args[0];
    if (first == "--help" || first == "-h") {
        printGlobalHelp();
        return kExitOk;
    }
    if (first == "--version" || first == "-V") {
        std::printf("zoltov %s\n", ZOL_TOOL_VERSION);
        return kExitOk;
    }
    if (first == "help") {
        return help(Args(args.begin() + 1, args.end()));
    }
    if (first.size() > 1 && first[0] == '-') {
        return usage("unknown option '" + escaped(first) + "'");
    }
    size_t consumed = 0;
    const Command* c = findCommand(args, consumed);
    if (c == nullptr) {
        if (!isGroup(first)) {
            return usage("unknown command '" + escaped(first) + "'");
        }
        g_running = first;
        if (args.size() >= 2 && (args[1] == "--help" || args[1] == "-h")) {
            printGroupHelp(first);
            return kExitOk;
        }
        return usage(args.size() < 2 ? "missing command"
                                     : "unknown command '" + escaped(args[1]) + "'");
    }
    g_running = c->words;
    Invocation in;
    int status = parse(*c, Args(args.begin() + consumed, args.end()), in);
    return status >= 0 ? status : c->run(in);
}

// True when standard output is a pipe whose reader has gone.
bool readerGone() {
    pollfd p = {STDOUT_FILENO, POLLOUT, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLERR) != 0;
}

}  // namespace

int fail(int status, const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "zoltov%s%s: %s\n", g_running.empty() ? "" : " ", g_running.c_str(),
                 message.c_str());
    return status;
}

std::string reason() {
    return std::strerror(errno);
}

std::string escaped(const std::string& name) {
    return qel::locks::escapeName(name);  // the platform's, which names objects in its reports
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
    // A closed pipe is an ordinary write error here (EPIPE), reported by the status, so
    // that commands (the demo above all) still clean up before they end.
    signal(SIGPIPE, SIG_IGN);
    int status = dispatch(Args(argv + 1, argv + argc));
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        // A reader that went away (`zoltov ... | head -1`) wanted no more: no message.
        if (errno != EPIPE && !readerGone()) {
            fail(kExitFailed, std::string("cannot write to standard output: ") +
                                  (errno != 0 ? std::strerror(errno) : "write error"));
        }
        return status != kExitOk ? status : kExitFailed;
    }
    return status;
}
