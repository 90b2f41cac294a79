// Directories of the store: which object directory a process uses, opening it (and the key
// directory) one component at a time without following links other than root's, who may
// trust a file there, the reasons a directory or file cannot be used, and which PID
// namespace a process is in. Its one piece of state is the group of the shared directory
// last opened (see fileTrusted).
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
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

// Symbolic links a walk follows at most (the kernel's own bound is 40).
constexpr int kMaxLinks = 8;

// The group through which this process shares its object directory, (gid_t)-1 for none.
gid_t g_sharedGroup = static_cast<gid_t>(-1);  // __atomic

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

std::string groupText(gid_t gid) {
    char buffer[64];
    snprintf(buffer, sizeof buffer, "%u", static_cast<unsigned>(gid));
    struct group entry, *found = nullptr;
    std::vector<char> text(4096);
    if (getgrgid_r(gid, &entry, text.data(), text.size(), &found) == 0 && found != nullptr) {
        return std::string(found->gr_name) + " (gid " + buffer + ")";
    }
    return std::string("gid ") + buffer;
}

// " (owner ..., group ..., mode 2770)": who may use a file or directory.
std::string describe(const struct stat& st) {
    char mode[16];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return " (owner " + userText(st.st_uid) + ", group " + groupText(st.st_gid) + ", mode " + mode +
           ")";
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

// Why part of the directory dirFd (at path) could not be opened as a directory (error):
// what it is instead, or who was refused.
std::string whyNotOpened(int dirFd, const std::string& part, const std::string& path, int error) {
    struct stat st;
    bool seen = fstatat(dirFd, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (seen && S_ISLNK(st.st_mode)) {
        return path + " is a symbolic link of " + userText(st.st_uid) +
               "; only links owned by root are followed";
    }
    if (error == ENOENT) {
        return path + " does not exist";
    }
    if (error == EACCES) {
        return path + ": permission denied to " + userText(geteuid()) + (seen ? describe(st) : "");
    }
    if (error == ENOTDIR) {
        return path + " is not a directory";
    }
    return path + ": " + strerror(error);
}

// The target of part, in directory dirFd, when it is a symbolic link owned by root. Read
// through a descriptor of the link itself, so that the target is that of the link checked.
bool rootLinkTarget(int dirFd, const std::string& part, std::string* target) {
    int link = openat(dirFd, part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (link < 0) {
        return false;
    }
    struct stat st;
    char text[PATH_MAX];
    ssize_t length = -1;
    if (fstat(link, &st) == 0 && S_ISLNK(st.st_mode) && st.st_uid == 0) {
        length = readlinkat(link, "", text, sizeof text);
    }
    close(link);
    if (length <= 0 || length == static_cast<ssize_t>(sizeof text)) {
        return false;
    }
    target->assign(text, static_cast<size_t>(length));
    return true;
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

int openDirectoryPath(const std::string& path, std::string* problem) {
    std::string rest = path;  // still to walk: from the root when it starts with '/'
    std::string reached;      // the path of fd as walked ("" for the root), for messages
    std::string why;
    int fd = -1;
    int links = 0;
    for (;;) {
        if (fd < 0 || rest[0] == '/') {
            if (fd >= 0) {
                close(fd);
            }
            fd = aboveStdio(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            reached.clear();
            if (fd < 0) {
                why = std::string("/: ") + strerror(errno);
                break;
            }
        }
        size_t start = rest.find_first_not_of('/');
        if (start == std::string::npos) {
            break;  // fd is the directory
        }
        size_t end = rest.find('/', start);
        std::string part = rest.substr(start, end - start);
        size_t next = end == std::string::npos ? end : rest.find_first_not_of('/', end);
        rest = next == std::string::npos ? "" : rest.substr(next);
        if (part == ".") {
            continue;
        }
        std::string here =
            part == ".." ? reached.substr(0, reached.rfind('/')) : reached + "/" + part;
        int opened =
            aboveStdio(openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        int error = errno;
        std::string target;
        if (opened >= 0) {
            close(fd);
            fd = opened;
            reached = here;
        } else if ((error == ENOTDIR || error == ELOOP) && rootLinkTarget(fd, part, &target)) {
            // Root's links are part of the system's layout (/dev/shm -> /run/shm,
            // /var/run -> /run): the target takes the link's place in what remains.
            if (++links > kMaxLinks) {
                why = here + ": too many symbolic links";
                break;
            }
            rest = rest.empty() ? target : target + "/" + rest;
        } else {
            why = whyNotOpened(fd, part, here.empty() ? "/" : here, error);
            errno = error;
            break;
        }
    }
    if (!why.empty()) {
        int error = errno;
        close(fd);
        fd = -1;
        errno = error;
        if (problem != nullptr) {
            *problem = why;
        }
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
    const std::string origin = where.configured ? "ZOLTOV_RUNTIME_DIR=" + where.path
                                                : "the object directory " + where.path;
    std::string why;
    struct stat st;
    int fd = -1;
    if (where.configured) {
        // An administrator's directory, reached through root's links as its path says.
        fd = openDirectoryPath(where.path, &why);
    } else {
        // The default one is ours to make and remove: its last component is never a link.
        int parent = openDirectoryPath(where.parent, &why);
        if (parent >= 0) {
            if (create && mkdirat(parent, where.leaf.c_str(), 0700) == 0) {
                int made = openat(parent, where.leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
                if (made >= 0) {
                    fchmod(made, 0700);  // the umask only narrows
                    close(made);
                }
            }
            fd = aboveStdio(openat(parent, where.leaf.c_str(),
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            int error = errno;
            if (fd < 0 && error != ENOENT &&
                fstatat(parent, where.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
                *problem = squatted(where, st);
            } else if (fd < 0 && error != ENOENT) {
                why = whyNotOpened(parent, where.leaf, where.path, error);
            }
            close(parent);
            errno = error;
        }
    }
    if (fd < 0) {
        int error = errno;
        if (!why.empty()) {  // a missing default directory is no problem
            *problem = origin + " cannot be used: " + why;
        }
        errno = error;
        return -1;
    }
    fstat(fd, &st);
    if (!where.configured) {
        if (st.st_uid != geteuid() || (st.st_mode & 0077) != 0) {
            *problem = squatted(where, st);
            close(fd);
            errno = EACCES;
            return -1;
        }
        __atomic_store_n(&g_sharedGroup, static_cast<gid_t>(-1), __ATOMIC_RELAXED);
        return fd;
    }
    // An administrator's directory: this user's own, or shared through its group (setgid,
    // so that every file gets the group) with its members and its owner, who need not be a
    // member (root:group 2770). Never writable by all, and not sticky, which would keep the
    // last user of an object from removing a file another user made.
    const bool setgid = (st.st_mode & S_ISGID) != 0;
    *shared = setgid && (inGroup(st.st_gid) || st.st_uid == geteuid());
    if ((st.st_mode & 0002) != 0) {
        why = " is writable by all";
    } else if ((st.st_mode & S_ISVTX) != 0) {
        why = " is sticky, which would keep its users from removing each other's objects";
    } else if (st.st_uid != geteuid() && !*shared) {
        why = inGroup(st.st_gid)
                  ? " is not setgid, so that files made there would not get its group"
                  : " is neither owned by nor of a group of " + userText(geteuid());
    }
    if (!why.empty()) {
        *problem = origin + describe(st) + why +
                   "; remedy: a directory of this user, or one shared by a group: mode 2770 "
                   "(setgid, not sticky, not writable by others)";
        close(fd);
        errno = EACCES;
        return -1;
    }
    __atomic_store_n(&g_sharedGroup, *shared ? st.st_gid : static_cast<gid_t>(-1),
                     __ATOMIC_RELAXED);
    return fd;
}

std::string accessProblem(int dirFd, const std::string& path, const std::string& fileName) {
    struct stat st;
    const std::string refused = ": permission denied to " + userText(geteuid());
    if (fstatat(dirFd, fileName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        return path + "/" + fileName + refused + describe(st) +
               "; the files of a shared directory are 0660 of its group: have its owner or root "
               "remove one made otherwise";
    }
    return path + refused + " creating " + fileName +
           (fstat(dirFd, &st) == 0 ? describe(st) : std::string());
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
    // Shared: whoever made it (a member, or the directory's owner), it is of the directory's
    // group, which only the directory's writers can give it.
    mode_t mode = st->st_mode & 07777;
    return shared ? mode == 0660 && st->st_gid == __atomic_load_n(&g_sharedGroup, __ATOMIC_RELAXED)
                  : mode == 0600 && st->st_uid == geteuid();
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
