// The holder table of an object file: one entry per process that holds the object, as many
// as there are processes (memory is the only limit). The first kInlineHolders entries live in
// the header page; the rest at header.tableOffset, in pages the file grows by as needed.
// Entries are kept dense: a removed entry's place takes the last one. Everything here runs
// under the file's table lock, and every header field is checked before it is used as an
// offset: any process that can open the file can write it.
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qelStoreParts.h"
#include "qelSys.h"

namespace qel {
namespace store {
namespace {

// The most entries a table may claim: far beyond any real count of processes, small enough
// that a damaged header cannot make a process map gigabytes.
constexpr uint32_t kMaxHolders = 1u << 24;
// How many more holders a look at liveness checks once it found a live one: dead holders
// behind live ones are found a few at a time, as the look starts where the last one stopped.
// A table of at most kSmallTable holders is looked at whole, so a name that a few processes
// share has its count exact again at the next open or close after a crash.
constexpr int kExtraChecks = 2;
constexpr uint32_t kSmallTable = 8;

size_t offsetOf(const StoreHeader* header, uint32_t i) {
    return i < kInlineHolders ? kHoldersOffset + size_t{i} * sizeof(HolderEntry)
                              : static_cast<size_t>(header->tableOffset) +
                                    size_t{i - kInlineHolders} * sizeof(HolderEntry);
}

size_t fileSizeFor(const StoreHeader* header, uint32_t capacity) {
    const size_t end = offsetOf(header, capacity);
    return (end + kPageSize - 1) / kPageSize * kPageSize;
}

bool tableFits(const StoreHeader* header) {
    const uint64_t expected = header->type == static_cast<uint32_t>(ObjectType::Segment)
                                  ? kPageSize + segmentPages(header->segmentSize)
                                  : kPageSize;
    return header->tableOffset == expected && header->holderCapacity >= kInlineHolders &&
           header->holderCapacity <= kMaxHolders && header->holderCount <= header->holderCapacity;
}

// The file of the mapped header, opened through its name and checked to be the same file;
// -1 when it cannot be (removed, replaced).
int openByName(unsigned char* map, dev_t device, ino_t inode) {
    DirUse dir(false);
    if (!dir.ok()) {
        return -1;
    }
    const StoreHeader* header = headerOf(map);
    const std::string name = fileNameOf(static_cast<ObjectType>(header->type), map);
    int fd = aboveStdio(
        sys::openat(dir.fd(), name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (fd >= 0 && (sys::fstat(fd, &st) != 0 || st.st_dev != device || st.st_ino != inode)) {
        sys::close(fd);
        fd = -1;
    }
    return fd;
}

}  // namespace

bool isSelf(const HolderEntry& entry, const registry::Identity& me) {
    return entry.slot == me.slot && entry.generation == me.generation && entry.epoch == me.epoch;
}

HolderTable::HolderTable(unsigned char* map, size_t covered, dev_t device, ino_t inode)
    : map_(map),
      covered_(covered),
      device_(device),
      inode_(inode),
      header_(headerOf(map)),
      valid_(tableFits(headerOf(map))) {}

HolderTable::~HolderTable() {
    if (view_ != nullptr) {
        sys::munmap(view_, viewSize_);
    }
}

uint32_t HolderTable::count() const {
    return valid_ ? header_->holderCount : 0;
}

HolderEntry* HolderTable::at(uint32_t i) {
    const size_t offset = offsetOf(header_, i);
    if (offset + sizeof(HolderEntry) <= covered_) {
        return reinterpret_cast<HolderEntry*>(map_ + offset);
    }
    const size_t needed = fileSizeFor(header_, header_->holderCapacity);
    if (view_ == nullptr || viewSize_ < offset + sizeof(HolderEntry)) {
        // Past this process's mapping: the table grew since. Mapped from the file itself,
        // whose size says how far the table really reaches.
        if (view_ != nullptr) {
            sys::munmap(view_, viewSize_);
            view_ = nullptr;
        }
        int fd = openByName(map_, device_, inode_);
        struct stat st;
        void* view = MAP_FAILED;
        if (fd >= 0 && sys::fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) >= needed) {
            view = sys::mmap(nullptr, needed, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        }
        if (fd >= 0) {
            sys::close(fd);
        }
        if (view == MAP_FAILED) {
            return nullptr;
        }
        view_ = static_cast<unsigned char*>(view);
        viewSize_ = needed;
    }
    return reinterpret_cast<HolderEntry*>(view_ + offset);
}

int HolderTable::find(const registry::Identity& id, uint32_t hint) {
    const uint32_t n = count();
    HolderEntry* entry = hint < n ? at(hint) : nullptr;
    if (entry != nullptr && isSelf(*entry, id)) {
        return static_cast<int>(hint);
    }
    for (uint32_t i = 0; i < n; ++i) {
        entry = at(i);
        if (entry != nullptr && isSelf(*entry, id)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool HolderTable::grow() {
    const uint32_t capacity = header_->holderCapacity;
    const uint32_t grown = capacity * 2 < kMaxHolders ? capacity * 2 : kMaxHolders;
    if (grown <= capacity) {
        return false;
    }
    int fd = openByName(map_, device_, inode_);
    if (fd < 0) {
        return false;
    }
    // Allocated, not only sized: a full file system refuses here, not with SIGBUS later.
    int rc = sys::posix_fallocate(fd, 0, static_cast<off_t>(fileSizeFor(header_, grown)));
    sys::close(fd);
    if (rc != 0) {
        return false;
    }
    header_->holderCapacity = grown;
    return true;
}

int HolderTable::add(const registry::Identity& id, uint32_t handles, uint32_t connections) {
    if (!valid_ || (header_->holderCount == header_->holderCapacity && !grow())) {
        return -1;
    }
    const uint32_t i = header_->holderCount;
    HolderEntry* entry = at(i);
    if (entry == nullptr) {
        return -1;
    }
    *entry = HolderEntry{id.slot, id.generation, id.epoch, handles, connections, 0};
    header_->holderCount = i + 1;
    if (uint32_t* count = segmentCount()) {
        __atomic_add_fetch(count, connections, __ATOMIC_RELAXED);
    }
    return static_cast<int>(i);
}

void HolderTable::remove(uint32_t i) {
    const uint32_t last = count() - 1;
    HolderEntry* entry = at(i);
    HolderEntry* moved = at(last);
    if (entry == nullptr || moved == nullptr) {
        return;
    }
    if (uint32_t* count = segmentCount()) {
        uint32_t now = __atomic_load_n(count, __ATOMIC_RELAXED);
        __atomic_store_n(count, now > entry->connections ? now - entry->connections : 0,
                         __ATOMIC_RELAXED);
    }
    *entry = *moved;
    *moved = HolderEntry{};
    header_->holderCount = last;
}

void HolderTable::change(uint32_t i, int handles, int connections) {
    HolderEntry* entry = at(i);
    if (entry == nullptr) {
        return;
    }
    if (handles < 0 && entry->handles <= static_cast<uint32_t>(-handles)) {
        remove(i);
        return;
    }
    entry->handles += static_cast<uint32_t>(handles);
    if (connections < 0 && entry->connections < static_cast<uint32_t>(-connections)) {
        connections = -static_cast<int>(entry->connections);  // never below what it has
    }
    entry->connections += static_cast<uint32_t>(connections);
    if (uint32_t* count = segmentCount()) {
        __atomic_add_fetch(count, static_cast<uint32_t>(connections), __ATOMIC_RELAXED);
    }
}

bool HolderTable::anyLive(const registry::Identity& me, bool countMe, bool takeBack) {
    uint32_t n = count();
    uint32_t i = n != 0 ? header_->checkCursor % n : 0;
    bool found = false;
    int extra = n <= kSmallTable ? static_cast<int>(n) : kExtraChecks;
    for (uint32_t looked = 0; looked < n && (!found || extra > 0);) {
        HolderEntry* entry = at(i);
        if (entry == nullptr) {
            return true;  // cannot tell
        }
        const bool self = isSelf(*entry, me);
        if (self ? countMe : registry::alive(*entry)) {
            extra -= found ? 1 : 0;
            found = true;
        } else if (!self && takeBack) {
            remove(i);  // its process has ended: its place takes the last entry, looked at next
            --n;
            i = i < n ? i : 0;
            continue;
        }
        ++looked;
        i = i + 1 < n ? i + 1 : 0;
    }
    header_->checkCursor = i;
    return found;
}

bool HolderTable::takeBackDead(const registry::Identity& me) {
    bool found = false;
    for (uint32_t i = 0; i < count();) {
        HolderEntry* entry = at(i);
        if (entry == nullptr) {
            return true;  // cannot tell
        }
        if (isSelf(*entry, me) || registry::alive(*entry)) {
            found = true;
            ++i;
        } else {
            remove(i);
        }
    }
    return found;
}

uint32_t* HolderTable::segmentCount() {
    if (header_->type != static_cast<uint32_t>(ObjectType::Segment) ||
        header_->dataOffset != segmentOffset(header_->segmentSize) ||
        header_->dataOffset + kSegmentCountSize > covered_) {
        return nullptr;
    }
    return reinterpret_cast<uint32_t*>(map_ + header_->dataOffset);
}

}  // namespace store
}  // namespace qel
