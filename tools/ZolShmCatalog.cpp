// The tool's segment catalogue: the platform layer's view of the segment files, the
// library's segment layout (a 4-byte connection count, then the data area) and a look at
// /proc for the processes that map each file.
#include "ZolShmCatalog.h"

#include <dirent.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>

#include "qelShmCatalog.h"

namespace zoltool {

namespace {

constexpr unsigned int kCountBytes = 4;
// Where the library keeps a segment's key file.
const char kKeyDirectory[] = "/opt/zol/ftok/";
// The library's named mutex of a segment is the segment's name followed by this.
const char kMutexSuffix[] = "CZolSharedMemory";

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

// How many running processes (other than this one) map each of paths.
std::map<std::string, int> mappers(const std::vector<std::string>& paths) {
    std::map<std::string, int> counts;
    for (const std::string& p : paths) {
        counts[p] = 0;
    }
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return counts;
    }
    const std::string self = std::to_string(getpid());
    while (dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9' || self == entry->d_name) {
            continue;
        }
        std::ifstream maps(std::string("/proc/") + entry->d_name + "/maps");
        std::string line;
        std::map<std::string, bool> seen;
        while (std::getline(maps, line)) {
            size_t slash = line.find('/');
            if (slash == std::string::npos) {
                continue;
            }
            auto it = counts.find(line.substr(slash));
            if (it != counts.end() && !seen[it->first]) {
                seen[it->first] = true;
                ++it->second;
            }
        }
    }
    closedir(proc);
    return counts;
}

void countMappers(std::vector<SegmentInfo>& segments) {
    std::vector<std::string> paths;
    for (const SegmentInfo& s : segments) {
        paths.push_back(s.path);
    }
    std::map<std::string, int> counts = mappers(paths);
    for (SegmentInfo& s : segments) {
        s.mappedBy = counts[s.path];
    }
}

}  // namespace

std::vector<SegmentInfo> listSegments() {
    Collector c;
    qelEnumShMem(collect, &c);
    for (SegmentInfo& s : c.segments) {
        if (s.name.empty()) {
            s.name = "(long name) " + s.path;
        }
    }
    std::sort(c.segments.begin(), c.segments.end(),
              [](const SegmentInfo& a, const SegmentInfo& b) { return a.name < b.name; });
    countMappers(c.segments);
    return c.segments;
}

bool findSegment(const std::string& name, SegmentInfo& info) {
    Collector c;
    if (qelInspectShMem(name.c_str(), collect, &c) != QEL_OK || c.segments.empty()) {
        return false;
    }
    info = c.segments.front();
    info.name = name;
    countMappers(c.segments);
    info.mappedBy = c.segments.front().mappedBy;
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

bool removeSegment(const SegmentInfo& info, std::string& error) {
    QEL_STATUS status = qelRemoveShMem(info.name.c_str(), kMutexSuffix);
    if (status != QEL_OK) {
        char code[32];
        std::snprintf(code, sizeof code, "0x%X", status);
        error = "cannot remove '" + info.name + "' (status " + code + ")";
        return false;
    }
    // The key file marks the segment for operators; it goes with the segment. A name with
    // a '/' would lead out of the key directory, and no key file was made for it anyway.
    if (info.name.find('/') == std::string::npos) {
        std::string key = kKeyDirectory + info.name;
        std::remove(key.c_str());  // absent or not ours: the segment is gone all the same
    }
    return true;
}

}  // namespace zoltool
