// Checks shared by the shared-memory tests: what a segment name leaves behind.
#ifndef ZOLTOV_TESTS_SHM_SHMTESTSUPPORT_H
#define ZOLTOV_TESTS_SHM_SHMTESTSUPPORT_H

#include <ftw.h>
#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "CZolSharedMemory.h"

namespace shmtest {

// Exposes the fields a test needs to look at.
struct Probe : CZolSharedMemory {
    int created() const { return m_bCreated; }
    unsigned int countInSegment() const { return *static_cast<unsigned int*>(m_pShMem); }
    void setCountInSegment(unsigned int count) { *static_cast<unsigned int*>(m_pShMem) = count; }
    long dataOffset() const {
        return static_cast<const unsigned char*>(m_pData) -
               static_cast<const unsigned char*>(m_pShMem);
    }
};

inline std::string keyFile(const std::string& name) {
    return "/opt/zol/ftok/" + name;
}

inline bool exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

// Every file under /dev/shm whose name contains name: the segment, its mutex, anything.
inline std::vector<std::string> leftovers(const std::string& name) {
    static std::vector<std::string>* found;
    static const std::string* wanted;
    std::vector<std::string> result;
    found = &result;
    wanted = &name;
    nftw(
        "/dev/shm",
        [](const char* path, const struct stat*, int, struct FTW* ftw) {
            if (strstr(path + ftw->base, wanted->c_str()) != nullptr) {
                found->push_back(path);
            }
            return 0;
        },
        16, FTW_PHYS);
    return result;
}

// True when no segment of that name exists: a fresh Open has to allocate one. The probe
// segment is removed again at once.
inline bool segmentIsGone(const std::string& name) {
    Probe probe;
    probe.Open(name.c_str(), 4);
    bool created = probe.created() == 1 && probe.GetConnectionsCount() == 1;
    probe.Close();
    return created;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace shmtest

#endif  // ZOLTOV_TESTS_SHM_SHMTESTSUPPORT_H
