// ZolShmCatalog.h - the tool's view of this user's shared-memory segments, read from the
// store's files through the platform layer's catalogue (the library only knows names it
// opens).
#ifndef ZOLTOV_TOOLS_ZOLSHMCATALOG_H
#define ZOLTOV_TOOLS_ZOLSHMCATALOG_H

#include <string>
#include <vector>

#include "qelShmCatalog.h"

namespace zoltool {

struct SegmentInfo {
    std::string name;                 // the segment name the library opened it by
    std::string path;                 // the file that holds it
    unsigned long long size = 0;      // bytes allocated: the 4-byte count and the data area
    unsigned int connections = 0;     // the connection count at the segment's head
    std::vector<QEL_HOLDER> holders;  // the live processes connected to it
};

// Every segment of this user, sorted by name; problem says why the object directory cannot
// be read (its path, owner and the remedy), "" when it can.
std::vector<SegmentInfo> listSegments(std::string& problem);
// The segment called name; false when there is none.
bool findSegment(const std::string& name, SegmentInfo& info);
// Up to count bytes of the data area (after the connection count).
std::vector<unsigned char> readSegmentData(const SegmentInfo& info, size_t count);

}  // namespace zoltool

#endif  // ZOLTOV_TOOLS_ZOLSHMCATALOG_H
