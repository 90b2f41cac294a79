// Directories of the store: which object directory a process uses, opening it (and the key
// directory) one component at a time without following links, who may trust a file there,
// and which PID namespace a process is in. No global state: the zoltov tool uses
// this file as it is.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "qelStore.h"

namespace qel {
namespace {

std::string userText(uid_t uid) {
    char buffer[64];
    snprintf(buffer, sizeof buffer, "%u", static_cast<unsigned>(uid));
    struct passwd entry, *found = nullptr;
    std::vector<char> text(4096);
    if (getpwuid_r(uid, &entry, text.data(), text.size(), &found) == 0 && found != nullptr) {
        return std::string(found->pw_name) + " (uid " + buffer + ")";
    }
    return std::string("uid ") + buffer;
}

bool inGroup(gid_t group) {
    if (group == getegid()) {
        return true;
    }
    gid_t groups[256];
    int count = getgroups(256, groups);
    for (int i = 0; i < count; ++i) {
        if (groups[i] == group) {
            return true;
        }
    }
    return false;
}

// Why a default directory in the way cannot be used, and the remedy.
std::string squatted(const StoreDirectory& where, const struct stat& st) {
    std::string what = S_ISLNK(st.st_mode)   ? "is a symbolic link"
                       : S_ISDIR(st.st_mode) ? "is a directory"
                                             : "is a file";
    return "the object directory " + where.path + " " + what + " of " + userText(st.st_uid) +
           ", not a private directory of " + userText(geteuid()) +
           "; remedy: have root remove it, or set ZOLTOV_RUNTIME_DIR to a directory of your own";
}

}  // namespace

StoreDirectory storeDirectory() {
    StoreDirectory where;
    const char* configured = getenv("ZOLTOV_RUNTIME_DIR");
    where.configured = configured != nullptr && configured[0] != '\0';
    if (where.configured) {
        where.path = configured;
        while (where.path.size() > 1 && where.path.back() == '/') {
            where.path.pop_back();
        }
    } else {
        // snprintf, not std::to_string: the latter instantiates a GNU-unique object that
        // would leave the library as an exported symbol despite hidden visibility.
        char buffer[64];
        snprintf(buffer, sizeof buffer, "/dev/shm/zoltov-%u", static_cast<unsigned>(geteuid()));
        where.path = buffer;
        // ZOL_QEL_NAMESPACE=<word> gives a separate set of names (test runs that must not
        // meet each other); only letters, digits, '-' and '_', so it stays a single entry.
        const char* space = getenv("ZOL_QEL_NAMESPACE");
        if (space != nullptr && space[0] != '\0' && strlen(space) <= 32 &&
            strspn(space, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_") ==
                strlen(space)) {
            where.path += '-';
            where.path += space;
        }
    }
    size_t slash = where.path.rfind('/');
    if (where.path[0] != '/' || slash == std::string::npos || slash + 1 == where.path.size()) {
        where.problem = "ZOLTOV_RUNTIME_DIR=" + where.path + " is not an absolute directory path";
        return where;
    }
    where.parent = slash == 0 ? "/" : where.path.substr(0, slash);
    where.leaf = where.path.substr(slash + 1);
    return where;
}

int openDirectoryPath(const std::string& path) {
    int fd = aboveStdio(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    size_t at = 1;
    while (fd >= 0 && at < path.size()) {
        size_t end = path.find('/', at);
        end = end == std::string::npos ? path.size() : end;
        std::string part = path.substr(at, end - at);
        at = end + 1;
        if (part.empty() || part == ".") {
            continue;
        }
        int next =
            aboveStdio(openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        int error = errno;
        close(fd);
        fd = next;
        errno = error;
    }
    return fd;
}

int openStoreDirectory(const StoreDirectory& where, bool create, bool* shared,
                       std::string* problem) {
    *shared = false;
    if (!where.problem.empty()) {
        *problem = where.problem;
        errno = EINVAL;
        return -1;
    }
    int parent = openDirectoryPath(where.parent);
    if (parent < 0) {
        *problem = "cannot open " + where.parent + ": " + strerror(errno);
        return -1;
    }
    if (create && !where.configured && mkdirat(parent, where.leaf.c_str(), 0700) == 0) {
        int made = openat(parent, where.leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        if (made >= 0) {
            fchmod(made, 0700);  // the umask only narrows
            close(made);
        }
    }
    int fd = aboveStdio(
        openat(parent, where.leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    int error = errno;
    struct stat st;
    if (fd < 0) {
        if (error != ENOENT && fstatat(parent, where.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            *problem = where.configured ? "ZOLTOV_RUNTIME_DIR=" + where.path + " is not a directory"
                                        : squatted(where, st);
        } else if (error != ENOENT || where.configured) {
            *problem = "cannot open " + where.path + ": " + strerror(error);
        }
        close(parent);
        errno = error;
        return -1;
    }
    close(parent);
    fstat(fd, &st);
    if (!where.configured) {
        if (st.st_uid != geteuid() || (st.st_mode & 0077) != 0) {
            *problem = squatted(where, st);
            close(fd);
            errno = EACCES;
            return -1;
        }
        return fd;
    }
    // An administrator's directory: this user's own, or shared through its group (setgid,
    // so that every file gets the group); never writable by all, and not sticky, which
    // would keep the last user of an object from removing a file another user made.
    *shared = (st.st_mode & S_ISGID) != 0 && inGroup(st.st_gid);
    if ((st.st_mode & (0002 | S_ISVTX)) != 0 || (st.st_uid != geteuid() && !*shared)) {
        *problem = "ZOLTOV_RUNTIME_DIR=" + where.path + " (owner " + userText(st.st_uid) +
                   ") is not shared with " + userText(geteuid()) +
                   "; remedy: make it setgid to a group of this user, mode 2770, not sticky";
        close(fd);
        errno = EACCES;
        return -1;
    }
    return fd;
}

int aboveStdio(int fd) {
    if (fd < 0 || fd > 2) {
        return fd;
    }
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int error = errno;
    close(fd);
    errno = error;
    return moved;
}

bool fileTrusted(int fd, bool shared, struct stat* st) {
    if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode) || st->st_nlink != 1) {
        return false;
    }
    mode_t mode = st->st_mode & 07777;
    return shared ? mode == 0660 && inGroup(st->st_gid) : mode == 0600 && st->st_uid == geteuid();
}

int openKeyDirectory(bool create) {
    int fd = openDirectoryPath("/opt");
    for (const char* part : {"zol", "ftok"}) {
        if (fd < 0) {
            return -1;
        }
        if (create) {
            mkdirat(fd, part, 0755);  // EEXIST is the usual case
        }
        int next = aboveStdio(openat(fd, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        close(fd);
        fd = next;
    }
    return fd;
}

bool removeKeyFile(const char* name) {
    int ftok = name != nullptr && hasKeyFile(name) ? openKeyDirectory(false) : -1;
    if (ftok < 0) {
        return false;
    }
    bool removed = unlinkat(ftok, name, 0) == 0;  // the last component is never followed
    close(ftok);
    return removed;
}

uint64_t pidNamespaceId() {
    struct stat st;
    return stat("/proc/self/ns/pid", &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
}

}  // namespace qel
