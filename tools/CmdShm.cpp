// zoltov shm list | show NAME | remove NAME [--force] | repair [NAME]
#include <cstdio>

#include "CZolMutex.h"
#include "ZolShmCatalog.h"
#include "ZolTool.h"

namespace zoltool {

namespace {

constexpr size_t kShownBytes = 64;
// How long repair waits for a segment's mutex: a live user holds it for one Open, Close or
// copy; a dead owner's is handed over at once.
constexpr long kRepairLockMs = 5000;

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

// Recounts the connections of one segment under its mutex, so that no Open, Close or copy
// of a library user runs meanwhile: writes the count of live connections, or removes the
// segment (with its key file and mutex) when there is none. 0 when repaired or sound.
int repairOne(const std::string& name) {
    // Created if need be, like every user's Open; the last one to let go removes it.
    CZolMutex mutex(0, segmentMutexName(name).c_str(), 0);
    if (mutex.Lock(kRepairLockMs) != 1) {
        return fail(kExitUsage, "shm repair: the mutex of '" + name + "' stayed busy for " +
                                    std::to_string(kRepairLockMs / 1000) + " s; try again");
    }
    SegmentInfo s;
    int status = kExitOk;
    std::string error;
    if (!findSegment(name, s)) {
        // A crash while allocating leaves a half-built file; one after the segment went but
        // before its key file did leaves the key file.
        clearHalfBuiltSegment(name);
        bool keyRemoved = removeKeyFile(name);
        std::printf("%s: no segment, nothing to repair%s\n", name.c_str(),
                    keyRemoved ? " (removed its leftover key file)" : "");
    } else {
        const unsigned int live = liveConnections(s);
        const std::string was = connectionsText(s);
        if (live == 0) {
            if (removeSegment(s, error)) {
                std::printf("removed %s: no process uses it (connections was %s)\n", name.c_str(),
                            was.c_str());
            } else {
                status = fail(kExitUsage, "shm repair: " + error);
            }
        } else if (s.connectionsKnown && s.connections == live) {
            std::printf("%s: connections %u, nothing to repair\n", name.c_str(), live);
        } else if (writeConnections(s, live, error)) {
            std::printf("repaired %s: connections %s -> %u\n", name.c_str(), was.c_str(), live);
        } else {
            status = fail(kExitUsage, "shm repair: " + error);
        }
    }
    mutex.Unlock();
    return status;
}

int runRepair(const Args& args) {
    if (args.size() > 1) {
        return usage("shm repair: expected at most one NAME");
    }
    if (args.size() == 1) {
        return repairOne(args[0]);
    }
    int status = kExitOk;
    for (const SegmentInfo& s : listSegments()) {
        if (s.name.rfind("(long name) ", 0) == 0) {
            std::printf("skipped %s: repair it by its name\n", s.name.c_str());
            continue;
        }
        int one = repairOne(s.name);
        status = one != kExitOk ? one : status;
    }
    return status;
}

}  // namespace

int runShm(const Args& args) {
    if (args.empty()) {
        return usage("shm: expected 'list', 'show', 'remove' or 'repair'");
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
    if (args[0] == "repair") {
        return runRepair(rest);
    }
    return usage("shm: unknown subcommand '" + args[0] + "'");
}

}  // namespace zoltool
