// zoltov shm list | show NAME | remove NAME [--force] | repair [NAME]
#include <cstdio>
#include <string>

#include "ZolShmCatalog.h"
#include "ZolTool.h"
#include "qel.h"

namespace zoltool {

namespace {

constexpr size_t kShownBytes = 64;
// How long remove and repair wait, in all, for tables that other processes keep locked: a
// live user holds one for a moment; a stopped one holds it for as long as it is stopped.
constexpr long kTableLockMs = 5000;

// The data area's size: what the segment was opened with, without the connection count.
unsigned long long dataSize(const SegmentInfo& s) {
    return s.size >= 4 ? s.size - 4 : 0;
}

int notFound(const std::string& name) {
    return fail(kExitNotFound, "no segment named '" + escaped(name) + "'");
}

const char* kindName(unsigned int kind) {
    return kind == QEL_KIND_MUTEX ? "mutex" : kind == QEL_KIND_EVENT ? "event" : "segment";
}

struct RepairReport {
    bool single = false;  // one segment asked for by name
    int changes = 0;
    int busy = 0;
};

// One line per entry that a repair changed or could not look at (with a name: every line).
void report(const QEL_REPAIR_ITEM* item, void* context) {
    RepairReport* r = static_cast<RepairReport*>(context);
    const std::string name = item->name != nullptr ? escaped(item->name) : escaped(item->path);
    const bool segment = item->kind == QEL_KIND_SEGMENT;
    switch (item->action) {
        case QEL_REPAIR_PLANTED:
            std::printf("removed %s: a link or special file, not an object\n",
                        escaped(item->path).c_str());
            break;
        case QEL_REPAIR_REMOVED:
            if (segment) {
                std::printf("removed %s: no process uses it (connections was %u)\n", name.c_str(),
                            item->connectionsBefore);
            } else {
                std::printf("removed %s %s: every process that held it has ended\n",
                            kindName(item->kind), name.c_str());
            }
            break;
        case QEL_REPAIR_TAKEN_BACK:
            if (segment) {
                std::printf("repaired %s: connections %u -> %u\n", name.c_str(),
                            item->connectionsBefore, item->connectionsAfter);
            } else {
                std::printf("repaired %s %s: %u ended holder(s) taken back\n", kindName(item->kind),
                            name.c_str(), item->deadHolders);
            }
            break;
        case QEL_REPAIR_BUSY:
            fail(kExitFailed, std::string(kindName(item->kind)) + " " + name +
                                  " stayed locked for " + std::to_string(kTableLockMs / 1000) +
                                  " s (a stopped process?); not repaired");
            ++r->busy;
            return;
        default:
            if (r->single && segment) {
                std::printf("%s: connections %u, nothing to repair\n", name.c_str(),
                            item->connectionsAfter);
            }
            return;
    }
    ++r->changes;
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
        std::printf("%10llu %11u %9zu  %s\n", dataSize(s), s.connections, s.holders.size(),
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
    std::printf("connections: %u\n", s.connections);
    std::printf("processes: %zu\n", s.holders.size());
    for (const QEL_HOLDER& h : s.holders) {
        std::printf("  pid %d (%s): %u connection(s)\n", h.pid, escaped(h.command).c_str(),
                    h.connections);
    }
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
    const std::string& name = in.operands[0];
    unsigned int inUse = 0;
    // Looked at and removed under the segment's table lock, as every Open and Close of a
    // library user changes it: nobody connects in between.
    switch (qelRemoveShMem(name.c_str(), in.has("force") ? 1 : 0, kTableLockMs, &inUse)) {
        case QEL_OK:
            std::printf("removed %s\n", escaped(name).c_str());
            return kExitOk;
        case QEL_E_NOT_FOUND:
            return notFound(name);
        case QEL_E_EXISTS:
            return fail(kExitFailed, "segment '" + escaped(name) + "' is in use by " +
                                         std::to_string(inUse) +
                                         " process(es); use --force to remove it");
        case QEL_E_TIMEOUT:
            return fail(kExitFailed, "segment '" + escaped(name) + "' stayed locked for " +
                                         std::to_string(kTableLockMs / 1000) +
                                         " s (a stopped process?); try again");
        default:
            return fail(kExitFailed,
                        "'" + escaped(name) + "' is not a segment this user can remove");
    }
}

int runShmRepair(const Invocation& in) {
    RepairReport r;
    r.single = in.operands.size() == 1;
    const char* name = r.single ? in.operands[0].c_str() : nullptr;
    const QEL_STATUS status = qelRepairStore(name, kTableLockMs, report, &r);
    if (status == QEL_E_NOT_FOUND) {
        // A process killed after its segment went, before its key file did, leaves the key.
        qelRemoveKeyFile(name);
        return notFound(in.operands[0]);
    }
    if (status == QEL_E_ACCESS) {
        char problem[1024];
        qelShmProblem(problem, sizeof problem);
        return fail(kExitFailed, problem);
    }
    if (status != QEL_OK) {
        return kExitFailed;  // what stayed busy is told above
    }
    if (!r.single && r.changes == 0) {
        std::printf("nothing to repair\n");
    }
    return kExitOk;
}

}  // namespace zoltool
