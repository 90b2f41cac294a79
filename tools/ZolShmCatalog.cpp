// The tool's segment catalogue: the platform layer's view of the segment files and the
// library's segment layout (a 4-byte connection count, then the data area).
#include "ZolShmCatalog.h"

#include <algorithm>
#include <cstring>

#include "qelStore.h"

namespace zoltool {

namespace {

// The library's segment layout, from the one header that fixes it.
constexpr unsigned int kCountBytes = qel::kSegmentCountSize;

struct Collector {
    std::vector<SegmentInfo> segments;
    size_t dataBytes = 0;  // how much of the data area to copy (readSegmentData)
    std::vector<unsigned char> data;
};

int collect(const QEL_SHM_ENTRY* entry, void* context) {
    Collector* c = static_cast<Collector*>(context);
    SegmentInfo info;
    info.name = entry->name != nullptr ? entry->name : "(long name) " + std::string(entry->path);
    info.path = entry->path;
    info.size = entry->size;
    std::memcpy(&info.connections, entry->base, kCountBytes);
    info.holders.assign(entry->holders, entry->holders + entry->holderCount);
    size_t available = static_cast<size_t>(entry->size - kCountBytes);
    size_t n = std::min(c->dataBytes, available);
    c->data.assign(entry->base + kCountBytes, entry->base + kCountBytes + n);
    c->segments.push_back(info);
    return 0;
}

}  // namespace

std::vector<SegmentInfo> listSegments(std::string& problem) {
    Collector c;
    char text[1024] = "";
    if (qelEnumShMem(QEL_CATALOG_SEGMENTS, collect, &c) != QEL_OK) {
        qelShmProblem(text, sizeof text);
    }
    problem = text;
    std::sort(c.segments.begin(), c.segments.end(),
              [](const SegmentInfo& a, const SegmentInfo& b) { return a.name < b.name; });
    return c.segments;
}

bool findSegment(const std::string& name, SegmentInfo& info) {
    Collector c;
    if (qelInspectShMem(name.c_str(), collect, &c) != QEL_OK || c.segments.empty()) {
        return false;
    }
    info = c.segments.front();
    info.name = name;
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

}  // namespace zoltool
