// zoltov shm list | show NAME | remove NAME [--force]
#include <cstdio>

#include "ZolShmCatalog.h"
#include "ZolTool.h"

namespace zoltool {

namespace {

constexpr size_t kShownBytes = 64;

std::string connectionsText(const SegmentInfo& s) {
    return s.connectionsKnown ? std::to_string(s.connections) : std::string("?");
}

int runList(const Args& args) {
    if (!args.empty()) {
        return usage("shm list: takes no arguments");
    }
    std::vector<SegmentInfo> segments = listSegments();
    // The name goes last: it may hold blanks.
    std::printf("%10s %11s %9s  %s\n", "SIZE", "CONNECTIONS", "PROCESSES", "NAME");
    for (const SegmentInfo& s : segments) {
        std::printf("%10llu %11s %9d  %s\n", s.size, connectionsText(s).c_str(), s.mappedBy,
                    s.name.c_str());
    }
    return kExitOk;
}

int runShow(const Args& args) {
    if (args.size() != 1) {
        return usage("shm show: expected NAME");
    }
    SegmentInfo s;
    if (!findSegment(args[0], s)) {
        return fail(kExitNotFound, "shm: no segment named '" + args[0] + "'");
    }
    std::printf("name: %s\n", s.name.c_str());
    std::printf("file: %s\n", s.path.c_str());
    std::printf("size: %llu bytes (data area %llu)\n", s.size, s.size >= 4 ? s.size - 4 : 0);
    std::printf("connections: %s\n", connectionsText(s).c_str());
    std::printf("processes: %d\n", s.mappedBy);
    std::vector<unsigned char> data = readSegmentData(s, kShownBytes);
    std::printf("data (first %zu bytes):\n", data.size());
    for (size_t row = 0; row < data.size(); row += 16) {
        std::printf("  %04zx ", row);
        for (size_t i = row; i < row + 16 && i < data.size(); ++i) {
            std::printf(" %02x", data[i]);
        }
        std::printf("\n");
    }
    return kExitOk;
}

int runRemove(const Args& args) {
    bool force = false;
    Args names;
    for (const std::string& arg : args) {
        if (arg == "--force" || arg == "-f") {
            force = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage("shm remove: unknown option '" + arg + "'");
        } else {
            names.push_back(arg);
        }
    }
    if (names.size() != 1) {
        return usage("shm remove: expected NAME");
    }
    SegmentInfo s;
    if (!findSegment(names[0], s)) {
        return fail(kExitNotFound, "shm: no segment named '" + names[0] + "'");
    }
    // A segment that a running process maps is in use: removing it would leave that
    // process on memory nobody else can reach. Segments left by crashed processes keep
    // a connection count but no mapping, and go without --force.
    if (s.mappedBy > 0 && !force) {
        return usage("shm remove: segment '" + s.name + "' is in use by " +
                     std::to_string(s.mappedBy) + " process(es); use --force to remove it");
    }
    std::string error;
    if (!removeSegment(s, error)) {
        return fail(kExitUsage, "shm remove: " + error);
    }
    std::printf("removed %s\n", s.name.c_str());
    return kExitOk;
}

}  // namespace

int runShm(const Args& args) {
    if (args.empty()) {
        return usage("shm: expected 'list', 'show' or 'remove'");
    }
    Args rest(args.begin() + 1, args.end());
    if (args[0] == "list") {
        return runList(rest);
    }
    if (args[0] == "show") {
        return runShow(rest);
    }
    if (args[0] == "remove") {
        return runRemove(rest);
    }
    return usage("shm: unknown subcommand '" + args[0] + "'");
}

}  // namespace zoltool
