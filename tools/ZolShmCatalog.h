// ZolShmCatalog.h - the tool's view of this user's shared-memory segments, read from the
// store's files (the library only knows names it opens); changes go through the library.
#ifndef ZOLTOV_TOOLS_ZOLSHMCATALOG_H
#define ZOLTOV_TOOLS_ZOLSHMCATALOG_H

#include <string>
#include <vector>

namespace zoltool {

struct SegmentInfo {
    std::string name;             // the segment name the library opened it by
    std::string path;             // the file that holds it
    unsigned long long size = 0;  // bytes allocated: the 4-byte count and the data area
    bool connectionsKnown = false;
    unsigned int connections = 0;  // the connection count at the segment's head
    int mappedBy = 0;              // running processes that have it mapped now (or, where
                                   // /proc hides their mappings, hold its mutex)
};

// Every segment of this user, sorted by name; problem says why the object directory cannot
// be read (its path, owner and the remedy), "" when it can.
std::vector<SegmentInfo> listSegments(std::string& problem);
// The segment called name; false when there is none.
bool findSegment(const std::string& name, SegmentInfo& info);
// Up to count bytes of the data area (after the connection count).
std::vector<unsigned char> readSegmentData(const SegmentInfo& info, size_t count);
// Destroys the segment (with its key file, and its mutex when nobody holds that) through
// the library's own Close; false with a message in error on failure.
bool removeSegment(const SegmentInfo& info, std::string& error);

// The named mutex that serialises opening, closing and copies of the segment called name.
std::string segmentMutexName(const std::string& name);
// The connections that running processes (other than this one) hold on the segment: its
// writable mappings that start at the file's beginning, as every Open maps the whole file
// once. A process forked from a connected one shares its parent's mapping until it execs or
// ends, and counts too. A process whose mappings this user may not read (another user's,
// or a non-dumpable one) counts the handles it holds on the segment's mutex instead.
unsigned int liveConnections(const SegmentInfo& info);
// Writes count into the segment's connection count, through the library's own Open and
// Close; false with a message in error.
bool writeConnections(const SegmentInfo& info, unsigned int count, std::string& error);
// Removes the key file of name when this user owns it and nothing holds the segment's name
// in the object directory (not even a file the store refuses).
bool removeKeyFile(const std::string& name);
// Removes the links and special files found under object names in the object directory
// (never followed: they block the name for every program of the user). Regular files that
// are no object this user can trust are left to their owner. Returns how many went.
int dropPlantedEntries();
// Opens every named mutex and event by name and lets go of it again: the library removes
// those whose holders have all died. Returns how many were looked at.
int dropStaleObjects();

}  // namespace zoltool

#endif  // ZOLTOV_TOOLS_ZOLSHMCATALOG_H
