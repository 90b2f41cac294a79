// zoltov shm list | show NAME | remove NAME [--force] | repair [NAME]
#include <string>
#include <cstdio>

#include "CZolMutex.h"
#include "ZolShmCatalog.h"
#include "ZolTool.h"

namespace zoltool {

namespace {

constexpr size_t kShownBytes = 64;
// How long repair and remove wait for a segment's mutex: a live user holds it for one Open,
// Close or copy; a dead owner's is handed over at once.
constexpr long kSegmentLockMs = 5000;

std::string connectionsText(const SegmentInfo& s) {
    return s.connectionsKnown ? std::to_string(s.connections) : std::string("?");
}

// The data area's size: what the segment was opened with, without the connection count.
unsigned long long dataSize(const SegmentInfo& s) {
    return s.size >= 4 ? s.size - 4 : 0;
}

int notFound(const std::string& name) {
    return fail(kExitNotFound, "no segment named '" + escaped(name) + "'");
}

// Runs work under the mutex of the segment called name, so that no Open, Close or copy of a
// library user runs between what work looks at and what it changes.
template <typename Work>
int underSegmentMutex(const char* command, const std::string& name, Work work) {
    // Created if need be, like every user's Open; the last one to let go removes it.
    CZolMutex mutex(0, segmentMutexName(name).c_str(), 0);
    if (mutex.Lock(kSegmentLockMs) != 1) {
        return fail(kExitFailed, std::string("the mutex of '") + escaped(name) +
                                     "' stayed busy for " + std::to_string(kSegmentLockMs / 1000) +
                                     " s; try again");
    }
    int status = work();
    mutex.Unlock();
    return status;
}

// Recounts the connections of one segment (under its mutex): writes the count of live
// connections, or removes the segment (with its key file and mutex) when there is none. 0
// when repaired or sound.
int recount(const std::string& name) {
    SegmentInfo s;
    int status = kExitOk;
    std::string error;
    if (!findSegment(name, s)) {
        // A crash after the segment went but before its key file did leaves the key file.
        if (removeKeyFile(name)) {
            std::printf("%s: no segment; removed its leftover key file\n", escaped(name).c_str());
        }
        status = notFound(name);
    } else {
        const unsigned int live = liveConnections(s);
        const std::string was = connectionsText(s);
        if (live == 0) {
            if (removeSegment(s, error)) {
                std::printf("removed %s: no process uses it (connections was %s)\n",
                            escaped(name).c_str(), was.c_str());
            } else {
                status = fail(kExitFailed, error);
            }
        } else if (s.connectionsKnown && s.connections == live) {
            std::printf("%s: connections %u, nothing to repair\n", escaped(name).c_str(), live);
        } else if (writeConnections(s, live, error)) {
            std::printf("repaired %s: connections %s -> %u\n", escaped(name).c_str(), was.c_str(),
                        live);
        } else {
            status = fail(kExitFailed, error);
        }
    }
    return status;
}

int repairOne(const std::string& name) {
    return underSegmentMutex("repair", name, [&] { return recount(name); });
}

// Removes the segment called name; without force only when no running process maps it.
int removeOne(const std::string& name, bool force) {
    SegmentInfo s;
    if (!findSegment(name, s)) {
        return notFound(name);
    }
    // A segment that a running process maps is in use: removing it would leave that
    // process on memory nobody else can reach. Segments left by crashed processes keep
    // a connection count but no mapping, and go without --force.
    if (s.mappedBy > 0 && !force) {
        return fail(kExitFailed, "segment '" + escaped(s.name) + "' is in use by " +
                                     std::to_string(s.mappedBy) +
                                     " process(es); use --force to remove it");
    }
    std::string error;
    if (!removeSegment(s, error)) {
        return fail(kExitFailed, error);
    }
    std::printf("removed %s\n", escaped(s.name).c_str());
    return kExitOk;
}

}  // namespace

int runShmList(const Invocation&) {
    std::string problem;
    std::vector<SegmentInfo> segments = listSegments(problem);
    if (!problem.empty()) {
        return fail(kExitFailed, problem);
    }
    // The name goes last: it may hold blanks.
    std::printf("%10s %11s %9s  %s\n", "SIZE", "CONNECTIONS", "PROCESSES", "NAME");
    for (const SegmentInfo& s : segments) {
        std::printf("%10llu %11s %9d  %s\n", dataSize(s), connectionsText(s).c_str(), s.mappedBy,
                    escaped(s.name).c_str());
    }
    return kExitOk;
}

int runShmShow(const Invocation& in) {
    SegmentInfo s;
    if (!findSegment(in.operands[0], s)) {
        return notFound(in.operands[0]);
    }
    std::printf("name: %s\n", escaped(s.name).c_str());
    std::printf("file: %s\n", escaped(s.path).c_str());
    std::printf("size: %llu bytes of data (%llu with the connection count)\n", dataSize(s), s.size);
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

int runShmRemove(const Invocation& in) {
    // Under the mutex, so that nobody connects between the look and the removal; a forced
    // removal does not wait for a mutex that a stopped process holds.
    const std::string& name = in.operands[0];
    if (in.has("force")) {
        return removeOne(name, true);
    }
    return underSegmentMutex("remove", name, [&] { return removeOne(name, false); });
}

int runShmRepair(const Invocation& in) {
    dropPlantedEntries();
    if (in.operands.size() == 1) {
        return repairOne(in.operands[0]);
    }
    int status = kExitOk;
    std::string problem;
    std::vector<SegmentInfo> segments = listSegments(problem);
    if (!problem.empty()) {
        return fail(kExitFailed, problem);
    }
    dropStaleObjects();  // the mutex and event files that crashed processes left
    if (segments.empty()) {
        std::printf("no segments: nothing to repair\n");
    }
    for (const SegmentInfo& s : segments) {
        if (s.name.rfind("(long name) ", 0) == 0) {
            std::printf("skipped %s: repair it by its name\n", escaped(s.name).c_str());
            continue;
        }
        int one = repairOne(s.name);
        status = one != kExitOk ? one : status;
    }
    return status;
}

}  // namespace zoltool
