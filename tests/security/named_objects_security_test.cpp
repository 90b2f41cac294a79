// Who can reach named objects, segments and key files: owner-only modes whatever the umask,
// no symbolic link followed when key files are made or removed, and hostile names that stay
// inside the library's own directories without colliding.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CZolEvent.h"
#include "CZolMutex.h"
#include "CZolShMem.h"
#include "ZolTestSupport.h"

namespace {

// A name space of this process's own: the fixed hostile names below ("", "..") cannot meet
// another run's objects.
const std::string kSpace = [] {
    std::string space = "sec" + std::to_string(getpid());
    setenv("ZOL_QEL_NAMESPACE", space.c_str(), 1);
    return space;
}();

std::string objectDirectory() {
    return "/dev/shm/zoltov-" + std::to_string(geteuid()) + "-" + kSpace;
}

// A segment whose data area (4 bytes into the segment, so copied, not cast) and origin the
// test may look at.
struct Segment : CZolShMem {
    void put(size_t value) { memcpy(m_pData, &value, sizeof value); }
    size_t get() const {
        size_t value;
        memcpy(&value, m_pData, sizeof value);
        return value;
    }
    bool created() const { return m_bCreated != 0; }
};

constexpr int kBoundMs = 30000;
constexpr int kCannotIsolate = 77;

// Names that try to leave the directory, meet another name, or outgrow a file name.
std::vector<std::string> hostileNames(const std::string& tag) {
    return {
        "",
        ".",
        "..",
        "/",
        "./",
        "../victim",
        tag + "/../../../victim",
        std::string("\x80\xfe\xff\x01", 4),
        std::string(198, 'a'),  // the longest name whose encoding is kept as it is
        std::string(199, 'a'),  // one more: replaced by a hash
        std::string(4096, '/'),
        std::string(4096, '.'),
        std::string(4095, '.') + "x",
        tag + "/x",
        tag + "%2fx",  // the escaped spelling of the name above
        tag + "CASE",
        tag + "case",
        tag + "#",
        std::string(tag).append(300 - tag.size(), 'a'),  // hashed names of the same length
        std::string(tag).append(299 - tag.size(), 'a') + "b",
    };
}

std::set<std::string> listDirectory(const std::string& path) {
    std::set<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
                names.insert(entry->d_name);
            }
        }
        closedir(dir);
    }
    return names;
}

// Type and permission bits as lstat reports them, or 0 when there is nothing.
mode_t modeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & (S_IFMT | 07777) : 0;
}

bool exists(const std::string& path) {
    return modeOf(path) != 0;
}

std::string readAll(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// A child's failed check: says which and returns its code.
int fail(int code, const std::string& what) {
    fprintf(stderr, "check %d failed: %s\n", code, what.c_str());
    return code;
}

TEST(NamedObjectSecurity, ObjectsAndTheirDirectoryAreOwnerOnlyWhateverTheUmask) {
    std::string name = zoltest::uniqueName("mode");
    std::string directory = objectDirectory();
    mode_t saved = umask(0);
    CZolMutex mutex(0, name.c_str(), 0);
    CZolEvent event(0, 1, name.c_str());
    CZolShMem segment;
    ASSERT_EQ(1, segment.Open(name.c_str(), 16));
    umask(saved);

    struct Expected {
        std::string path;
        mode_t mode;
    };
    const Expected expected[] = {
        {directory, S_IFDIR | 0700},
        {directory + "/.lock", S_IFREG | 0600},
        {directory + "/m." + name, S_IFREG | 0600},
        {directory + "/e." + name, S_IFREG | 0600},
        {directory + "/s." + name, S_IFREG | 0600},
    };
    for (const Expected& e : expected) {
        struct stat st;
        ASSERT_EQ(0, lstat(e.path.c_str(), &st)) << e.path;
        EXPECT_EQ(e.mode, st.st_mode & (S_IFMT | 07777)) << e.path;
        EXPECT_EQ(geteuid(), st.st_uid) << e.path;
    }

    // A file that someone made group- and world-writable is no longer trusted: another
    // process refuses to open it.
    std::string mutexFile = directory + "/m." + name;
    ASSERT_EQ(0, chmod(mutexFile.c_str(), 0666));
    pid_t child = zoltest::forkChild([&] {
        CZolMutex other(0, name.c_str(), 1);
        return static_cast<long>(other) == 0 ? 0 : 1;
    });
    EXPECT_EQ(0, zoltest::exitCodeOf(zoltest::waitChild(child, kBoundMs)));
    ASSERT_EQ(0, chmod(mutexFile.c_str(), 0600));

    std::string keyFile = "/opt/zol/ftok/" + name;
    if (!exists(keyFile) && access("/opt/zol/ftok", W_OK) != 0) {
        GTEST_SKIP() << "/opt/zol/ftok is not writable for this user: no key file to check";
    }
    EXPECT_EQ(S_IFREG | 0644, modeOf(keyFile));
    segment.Close();
    EXPECT_FALSE(exists(keyFile));
}

// The key directory is private to a child: it runs in a mount name space of its own with a
// fresh, empty /opt, so it can plant links where the real key directory is.
TEST(NamedObjectSecurity, KeyFilesAreMadeAndRemovedWithoutFollowingLinks) {
    std::string tag = zoltest::uniqueName("key");
    pid_t child = zoltest::forkChild([&] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/opt", "tmpfs", 0, "mode=0755") != 0) {
            return kCannotIsolate;
        }
        const std::string ftok = "/opt/zol/ftok/";
        umask(0);
        // The first segment creates the key directory and file, owner-writable only.
        CZolShMem first;
        first.Open((tag + "a").c_str(), 8);
        if (modeOf("/opt/zol") != (S_IFDIR | 0755) || modeOf("/opt/zol/ftok") != (S_IFDIR | 0755))
            return fail(1, "key directories are not 0755");
        if (modeOf(ftok + tag + "a") != (S_IFREG | 0644))
            return fail(2, "key file is not 0644");

        // Links planted at key files' paths: to a file, and dangling.
        if (symlink("/opt/target", (ftok + tag + "b").c_str()) != 0 ||
            symlink("/opt/absent", (ftok + tag + "c").c_str()) != 0 ||
            mkdir("/opt/elsewhere", 0755) != 0 || mkdir("/opt/elsewhere/ftok", 0755) != 0)
            return fail(3, "setup");
        FILE* target = fopen("/opt/target", "w");
        fputs("untouched", target);
        fclose(target);
        {
            CZolShMem linked, dangling;
            if (linked.Open((tag + "b").c_str(), 8) != 1 ||
                dangling.Open((tag + "c").c_str(), 8) != 1)
                return fail(4, "a planted key file failed the allocation");
            if (exists("/opt/absent") || readAll("/opt/target") != "untouched" ||
                !S_ISLNK(modeOf(ftok + tag + "b")))
                return fail(5, "a planted key file link was followed or replaced");
        }
        if (readAll("/opt/target") != "untouched")
            return fail(6, "removing the key file went through the link");

        // The key directory, then its parent, replaced by a link to another directory.
        if (rename("/opt/zol/ftok", "/opt/ftok-real") != 0 ||
            symlink("/opt/elsewhere", "/opt/zol/ftok") != 0)
            return fail(7, "setup");
        {
            CZolShMem redirected;
            redirected.Open((tag + "d").c_str(), 8);
            if (exists("/opt/elsewhere/" + tag + "d"))
                return fail(8, "a key file was created through a linked key directory");
        }
        if (unlink("/opt/zol/ftok") != 0 || rename("/opt/ftok-real", "/opt/zol/ftok") != 0 ||
            rename("/opt/zol", "/opt/zol-real") != 0 || symlink("/opt/elsewhere", "/opt/zol") != 0)
            return fail(9, "setup");
        {
            CZolShMem redirected;
            redirected.Open((tag + "e").c_str(), 8);
            if (exists("/opt/elsewhere/ftok/" + tag + "e"))
                return fail(10, "a key file was created through a linked /opt/zol");
        }
        if (unlink("/opt/zol") != 0 || rename("/opt/zol-real", "/opt/zol") != 0 ||
            rmdir("/opt/elsewhere/ftok") != 0 || rmdir("/opt/elsewhere") != 0 ||
            unlink("/opt/target") != 0)
            return fail(11, "setup");

        // Hostile names neither create nor remove anything outside the key directory: not
        // the directory itself (the empty name), not its parent's files (".." and the like).
        first.Close();
        FILE* victim = fopen("/opt/zol/victim", "w");
        fclose(victim);
        std::set<std::string> opt = listDirectory("/opt"), zol = listDirectory("/opt/zol");
        const std::vector<std::string> names = hostileNames(tag);
        std::vector<CZolShMem> hostile(names.size());
        for (size_t i = 0; i < names.size(); ++i) {
            if (hostile[i].Open(names[i].c_str(), 8) != 1)
                return fail(12, "open");
        }
        std::set<std::string> keys = listDirectory("/opt/zol/ftok");
        // Only for names that are one plain path component of at most 255 bytes.
        if (keys != std::set<std::string>{std::string(198, 'a'), std::string(199, 'a'),
                                          std::string("\x80\xfe\xff\x01", 4), tag + "%2fx",
                                          tag + "CASE", tag + "case", tag + "#"})
            return fail(13, "key files: " + std::to_string(keys.size()));
        // Last closes last: the empty name then meets an empty key directory.
        for (size_t i = names.size(); i-- > 0;) {
            hostile[i].Close();
        }
        if (listDirectory("/opt") != opt || listDirectory("/opt/zol") != zol ||
            !listDirectory("/opt/zol/ftok").empty())
            return fail(14, "a hostile name reached outside the key directory");
        return 0;
    });
    int code = zoltest::exitCodeOf(zoltest::waitChild(child, kBoundMs));
    if (code == kCannotIsolate) {
        GTEST_SKIP() << "no private mount name space (needs CAP_SYS_ADMIN): the planted-link "
                        "checks need a key directory of their own";
    }
    EXPECT_EQ(0, code);
}

TEST(NamedObjectSecurity, HostileNamesStayInTheDirectoryAndNeverCollide) {
    std::string tag = zoltest::uniqueName("host");
    const std::vector<std::string> names = hostileNames(tag);
    std::set<std::string> shmBefore = listDirectory("/dev/shm");
    std::vector<Segment> segments(names.size());
    std::vector<std::unique_ptr<CZolEvent>> events;
    std::vector<std::unique_ptr<CZolMutex>> mutexes;
    for (size_t i = 0; i < names.size(); ++i) {
        ASSERT_EQ(1, segments[i].Open(names[i].c_str(), sizeof(size_t))) << i;
        segments[i].put(i);
        events.emplace_back(new CZolEvent(i % 2, 1, names[i].c_str()));
        mutexes.emplace_back(new CZolMutex(0, names[i].c_str(), 0));
    }
    // One file per object, all in the directory: none went elsewhere, no two names share one.
    size_t files = 0;
    for (const std::string& entry : listDirectory(objectDirectory())) {
        if (entry[0] != '.') {
            EXPECT_TRUE(strchr("mes", entry[0]) != nullptr && strchr(".#", entry[1]) != nullptr)
                << entry;
            ++files;
        }
    }
    EXPECT_EQ(3 * names.size(), files);
    for (const std::string& entry : listDirectory("/dev/shm")) {
        EXPECT_TRUE(shmBefore.count(entry) != 0 || entry.rfind("zoltov-", 0) == 0) << entry;
    }
    // Another process reaches the same objects by the same names, and each name its own.
    pid_t child = zoltest::forkChild([&] {
        for (size_t i = 0; i < names.size(); ++i) {
            Segment segment;
            if (segment.Open(names[i].c_str(), 1) != 1 || segment.created() || segment.get() != i)
                return fail(1, "segment " + std::to_string(i));
            CZolEvent event(0, 1, names[i].c_str());
            if (event.Lock(0) != static_cast<int>(i % 2))
                return fail(2, "event " + std::to_string(i));
            CZolMutex mutex(0, names[i].c_str(), 1);
            if (static_cast<long>(mutex) == 0)
                return fail(3, "mutex " + std::to_string(i));
        }
        return 0;
    });
    EXPECT_EQ(0, zoltest::exitCodeOf(zoltest::waitChild(child, kBoundMs)));
    segments.clear();
    events.clear();
    mutexes.clear();
    EXPECT_FALSE(exists(objectDirectory())) << "the last object took the directory with it";
}

}  // namespace
