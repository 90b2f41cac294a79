// Names of the store: how a user's name becomes a file name, the key-file rule, and the
// checks of a file's header. No global state: the zoltov tool uses this file as it is.
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qelStore.h"

namespace qel {
namespace {

constexpr size_t kMaxEncoded = 200;  // longer encodings are replaced by a hash
constexpr char kHex[] = "0123456789abcdef";

char typeLetter(ObjectType type) {
    switch (type) {
        case ObjectType::Mutex:
            return 'm';
        case ObjectType::Event:
            return 'e';
        default:
            return 's';
    }
}

}  // namespace

void hashName(const char* name, uint64_t out[2]) {
    // Two independent 64-bit FNV-1a variants: only names too long to keep in the file rely
    // on them alone.
    uint64_t a = 0xcbf29ce484222325ull, b = 0x84222325cbf29ce4ull;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
        a = (a ^ *p) * 0x100000001b3ull;
        b = (b ^ (*p + 0x9Eu)) * 0x100000001b3ull;
        b ^= b >> 29;
    }
    out[0] = a;
    out[1] = b;
}

std::string hashedName(ObjectType type, const uint64_t hash[2]) {
    std::string name(1, typeLetter(type));
    name += '#';
    for (int i = 0; i < 2; ++i) {
        for (int shift = 60; shift >= 0; shift -= 4) {
            name += kHex[(hash[i] >> shift) & 15];
        }
    }
    return name;
}

std::string encodeName(ObjectType type, const char* name) {
    std::string encoded(1, typeLetter(type));
    encoded += '.';
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
        unsigned char c = *p;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.') {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 15];
        }
        if (encoded.size() > kMaxEncoded) {
            uint64_t hash[2];
            hashName(name, hash);
            return hashedName(type, hash);
        }
    }
    return encoded;
}

bool hasKeyFile(const char* name) {
    size_t length = strlen(name);
    return length != 0 && length <= NAME_MAX && strchr(name, '/') == nullptr &&
           strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

bool headerMatches(const unsigned char* map, ObjectType type, const char* name) {
    const StoreHeader* header = reinterpret_cast<const StoreHeader*>(map);
    if (header->magic != kStoreMagic || header->version != kStoreVersion ||
        header->type != static_cast<uint32_t>(type)) {
        return false;
    }
    uint64_t hash[2];
    hashName(name, hash);
    size_t length = strlen(name);
    if (header->hash[0] != hash[0] || header->hash[1] != hash[1] || header->nameLength != length) {
        return false;
    }
    return length >= kNameCapacity || memcmp(map + kNameOffset, name, length) == 0;
}

bool readHeader(int fd, ObjectType type, StoreHeader* header, off_t fileSize) {
    if (fileSize < static_cast<off_t>(kPageSize) ||
        pread(fd, header, sizeof *header, 0) != static_cast<ssize_t>(sizeof *header) ||
        header->magic != kStoreMagic || header->version != kStoreVersion ||
        header->type != static_cast<uint32_t>(type) ||
        (header->state != kStateLive && header->state != kStateDead)) {
        return false;
    }
    // A segment's data must lie in the file where its header says (a size near 2^64 would
    // wrap the sum).
    return type != ObjectType::Segment ||
           (header->segmentSize >= kSegmentCountSize && header->segmentSize <= kMaxSegmentSize &&
            header->dataOffset == segmentOffset(header->segmentSize) &&
            static_cast<uint64_t>(fileSize) >= kPageSize + segmentPages(header->segmentSize));
}

uint32_t kindOfFileName(const char* entry) {
    if ((entry[0] != 'm' && entry[0] != 'e' && entry[0] != 's') ||
        (entry[1] != '.' && entry[1] != '#')) {
        return 0;
    }
    return static_cast<uint32_t>(entry[0] == 'm'   ? ObjectType::Mutex
                                 : entry[0] == 'e' ? ObjectType::Event
                                                   : ObjectType::Segment);
}

}  // namespace qel
