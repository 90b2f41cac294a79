// The tool's segment catalogue: the platform layer's view of the segment files, the
// library's segment layout (a 4-byte connection count, then the data area) and a look at
// /proc for the processes that map each file.
#include "ZolShmCatalog.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>

#include "ZolTool.h"
#include "qelShmCatalog.h"
#include "qelStore.h"
#include "CZolEvent.h"
#include "CZolMutex.h"
#include "CZolSharedMemory.h"

namespace zoltool {

namespace {

// The library's segment layout and names, from the one header that fixes them.
constexpr unsigned int kCountBytes = qel::kSegmentCountSize;
constexpr const char* kMutexSuffix = qel::kSegmentMutexSuffix;

struct Collector {
    std::vector<SegmentInfo> segments;
    size_t dataBytes = 0;  // how much of the data area to copy (readSegmentData)
    std::vector<unsigned char> data;
};

int collect(const QEL_SHM_ENTRY* entry, void* context) {
    Collector* c = static_cast<Collector*>(context);
    SegmentInfo info;
    info.name = entry->name != nullptr ? entry->name : "";
    info.path = entry->path;
    info.size = entry->size;
    if (entry->size >= kCountBytes) {
        std::memcpy(&info.connections, entry->base, kCountBytes);
        info.connectionsKnown = true;
        size_t available = static_cast<size_t>(entry->size - kCountBytes);
        size_t n = std::min(c->dataBytes, available);
        c->data.assign(entry->base + kCountBytes, entry->base + kCountBytes + n);
    }
    c->segments.push_back(info);
    return 0;
}

// Calls visit with the pid and each line of /proc/<pid>/maps of every other process whose
// maps this user may read; returns the pids of those processes. Another user's processes,
// those /proc hides, and this user's own that made themselves non-dumpable are left out.
template <typename Visit>
std::set<int> forEachMapping(Visit visit) {
    std::set<int> seen;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return seen;
    }
    const std::string self = std::to_string(getpid());
    while (dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9' || self == entry->d_name) {
            continue;
        }
        std::ifstream maps(std::string("/proc/") + entry->d_name + "/maps");
        if (!maps.is_open()) {
            continue;
        }
        seen.insert(std::atoi(entry->d_name));
        std::string line;
        while (std::getline(maps, line)) {
            visit(entry->d_name, line);
        }
    }
    closedir(proc);
    return seen;
}

int collectHolders(const QEL_SHM_ENTRY* entry, void* context) {
    static_cast<std::vector<QEL_HOLDER>*>(context)->assign(entry->holders,
                                                           entry->holders + entry->holderCount);
    return 0;
}

// The users of the segment called name that forEachMapping could not see: every library
// user holds the segment's mutex while it is connected, one handle per connection, and the
// mutex's file names its live holders whatever /proc shows. A segment known only by its
// file (a name too long to keep) has none.
std::vector<QEL_HOLDER> unseenUsers(const std::string& name, const std::set<int>& seen) {
    std::vector<QEL_HOLDER> holders;
    if (!name.empty()) {
        qelInspectMutex(segmentMutexName(name).c_str(), collectHolders, &holders);
    }
    holders.erase(std::remove_if(holders.begin(), holders.end(),
                                 [&](const QEL_HOLDER& h) { return seen.count(h.pid) != 0; }),
                  holders.end());
    return holders;
}

// How many running processes (other than this one) map each of paths, as far as their maps
// can be read; visible gets the processes whose maps were read.
std::map<std::string, int> mappers(const std::vector<std::string>& paths, std::set<int>& visible) {
    std::map<std::string, int> counts;
    for (const std::string& p : paths) {
        counts[p] = 0;
    }
    std::string process;
    std::map<std::string, bool> seen;  // paths already counted for process
    visible = forEachMapping([&](const char* pid, const std::string& line) {
        if (process != pid) {
            process = pid;
            seen.clear();
        }
        size_t slash = line.find('/');
        if (slash == std::string::npos) {
            return;
        }
        auto it = counts.find(line.substr(slash));
        if (it != counts.end() && !seen[it->first]) {
            seen[it->first] = true;
            ++it->second;
        }
    });
    return counts;
}

// Before the segments' names are made up for display: an empty name is not known.
void countMappers(std::vector<SegmentInfo>& segments) {
    std::vector<std::string> paths;
    for (const SegmentInfo& s : segments) {
        paths.push_back(s.path);
    }
    std::set<int> seen;
    std::map<std::string, int> counts = mappers(paths, seen);
    for (SegmentInfo& s : segments) {
        s.mappedBy = counts[s.path] + static_cast<int>(unseenUsers(s.name, seen).size());
    }
}

}  // namespace

std::vector<SegmentInfo> listSegments(std::string& problem) {
    Collector c;
    char text[1024] = "";
    if (qelEnumShMem(QEL_CATALOG_SEGMENTS, collect, &c) != QEL_OK) {
        qelShmProblem(text, sizeof text);
    }
    problem = text;
    countMappers(c.segments);
    for (SegmentInfo& s : c.segments) {
        if (s.name.empty()) {
            s.name = "(long name) " + s.path;
        }
    }
    std::sort(c.segments.begin(), c.segments.end(),
              [](const SegmentInfo& a, const SegmentInfo& b) { return a.name < b.name; });
    return c.segments;
}

bool findSegment(const std::string& name, SegmentInfo& info) {
    Collector c;
    if (qelInspectShMem(name.c_str(), collect, &c) != QEL_OK || c.segments.empty()) {
        return false;
    }
    c.segments.front().name = name;
    countMappers(c.segments);
    info = c.segments.front();
    return true;
}

std::vector<unsigned char> readSegmentData(const SegmentInfo& info, size_t count) {
    Collector c;
    c.dataBytes = count;
    if (qelInspectShMem(info.name.c_str(), collect, &c) != QEL_OK) {
        return {};
    }
    return c.data;
}

// The store's one rule for key files: only a name that is one plain path component, never
// through a link.
bool removeKeyFile(const std::string& name) {
    std::string key = std::string(qel::kKeyDirectory) + "/" + name;
    struct stat info;
    return qel::hasKeyFile(name.c_str()) && lstat(key.c_str(), &info) == 0 &&
           S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
           qelInspectShMem(
               name.c_str(), [](const QEL_SHM_ENTRY*, void*) { return 0; }, nullptr) ==
               QEL_E_NOT_FOUND &&
           qel::removeKeyFile(name.c_str());
}

namespace {

// A segment opened through the library, with its count in reach.
struct Connection : CZolSharedMemory {
    unsigned int& count() { return *static_cast<unsigned int*>(m_pShMem); }
};

}  // namespace

bool removeSegment(const SegmentInfo& info, std::string& error) {
    // Attached as any user is, under the segment's mutex; made the last connection, its
    // Close deallocates it and removes the key file, and the mutex goes with its last holder.
    Connection segment;
    if (segment.Open(info.name.c_str(), 0) != 1) {
        error = "cannot open '" + escaped(info.name) + "'";
        return false;
    }
    segment.count() = 1;
    segment.Close();
    return true;
}

std::string segmentMutexName(const std::string& name) {
    return name + kMutexSuffix;
}

unsigned int liveConnections(const SegmentInfo& info) {
    unsigned int connections = 0;
    std::set<int> seen = forEachMapping([&](const char*, const std::string& line) {
        // start-end perms offset device inode path
        char perms[8] = {};
        unsigned long long offset = 1;
        size_t slash = line.find('/');
        if (slash == std::string::npos || line.compare(slash, std::string::npos, info.path) != 0 ||
            std::sscanf(line.c_str(), "%*s %7s %llx", perms, &offset) != 2) {
            return;
        }
        // Read-only mappings are onlookers such as this tool's listings, not connections.
        if (offset == 0 && perms[1] == 'w' && perms[3] == 's') {
            ++connections;
        }
    });
    for (const QEL_HOLDER& holder : unseenUsers(info.name, seen)) {
        connections += holder.handles;
    }
    return connections;
}

bool writeConnections(const SegmentInfo& info, unsigned int count, std::string& error) {
    // This tool's own connection is counted while it is open, and given back by its Close.
    Connection segment;
    if (segment.Open(info.name.c_str(), 0) != 1) {
        error = "cannot open '" + escaped(info.name) + "'";
        return false;
    }
    segment.count() = count + 1;
    segment.Close();
    return true;
}

namespace {

int collectSync(const QEL_SHM_ENTRY* entry, void* context) {
    if (entry->name != nullptr) {
        static_cast<std::vector<std::pair<std::string, char>>*>(context)->emplace_back(
            entry->name, std::strrchr(entry->path, '/')[1]);
    }
    return 0;
}

}  // namespace

int dropPlantedEntries() {
    const qel::StoreDirectory where = qel::storeDirectory();
    bool shared = false;
    std::string problem;
    int fd = qel::openStoreDirectory(where, false, &shared, &problem);
    DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (dir == nullptr) {
        if (fd >= 0) {
            close(fd);
        }
        return 0;
    }
    int removed = 0;
    while (dirent* entry = readdir(dir)) {
        struct stat st;
        const std::string name = entry->d_name;
        // Only names the store gives its objects ("s.", "m#", ...); links and special files
        // there were never made by the library, and no user's object lives in one.
        if (name.size() < 3 || std::strchr("sme", name[0]) == nullptr ||
            (name[1] != '.' && name[1] != '#') ||
            fstatat(dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) ||
            unlinkat(dirfd(dir), name.c_str(), 0) != 0) {
            continue;
        }
        std::printf("removed %s: a link or special file, not an object\n",
                    escaped(where.path + "/" + name).c_str());
        ++removed;
    }
    closedir(dir);
    return removed;
}

int dropStaleObjects() {
    std::vector<std::pair<std::string, char>> objects;  // name, 'm' or 'e'
    qelEnumShMem(QEL_CATALOG_SYNC, collectSync, &objects);
    for (const auto& object : objects) {
        if (object.second == 'm') {
            CZolMutex mutex(0, object.first.c_str(), 1);  // opening only: never makes one
        } else {
            CZolEvent event(0, 1, object.first.c_str());
        }
    }
    return static_cast<int>(objects.size());
}

}  // namespace zoltool
