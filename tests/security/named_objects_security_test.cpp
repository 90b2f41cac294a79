// Who can reach named objects, segments and key files: owner-only modes whatever the umask;
// hostile names, planted links and damaged or loosened files that never reach outside the
// library's directories, never make two names meet, and are refused rather than trusted.
// It all runs in a child with its own /opt and /dev/shm, so that it can plant links where
// the real directories are and use fixed names ("", "..") that meet no other run.
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>

#include <gtest/gtest.h>

#include "CZolEvent.h"
#include "CZolShMem.h"
#include "ZolTestSupport.h"
#include "qel.h"
#include "qelTesting.h"

namespace {

using Names = std::vector<std::string>;

mode_t modeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & (S_IFMT | 07777) : 0;
}

// A segment that tells whether its Open allocated.
struct Segment : CZolShMem {
    bool created() const { return m_bCreated != 0; }
};

// True when another process can neither attach to the segment, nor make it anew, nor open
// the event of name (within the bound: a file that blocks its opener fails too), and is told
// which file is in the way.
bool refusedElsewhere(const std::string& name) {
    return zoltest::Peer([&](zoltest::Peer&) {
               long handle = 0;
               void* base = nullptr;
               return qelAttachShMem(name.c_str(), &handle, &base) == QEL_OK ||
                      qelCreateEvent(name.c_str(), &handle) == QEL_OK ||
                      qelAllocShMem(name.c_str(), 8, &handle, &base) == QEL_OK ||
                      !strstr(qelFailureReason(), ("s." + name + " is not").c_str());
           }).finish() == 0;
}

// The steps of the child; each returns its own status when it fails.
int hostileNamesAndFiles() {
    // Key file paths taken by links (to a file, dangling), then the names that try to leave
    // a directory, meet another name, or outgrow a file name. The empty name closes last,
    // when the key directory is empty: it must not take the directory with it.
    Names names = {"",          "file",           "dangling", ".",     "..",   "/",
                   "../victim", "a/../../victim", "x/y",      "x%2fy", "CASE", "case",
                   "#",         "\x80\xff\x01"};
    names.insert(names.end(), {std::string(198, 'a'), std::string(199, 'a'), std::string(4096, '/'),
                               std::string(4095, '.') + "x", std::string(300, 'b'),
                               std::string(299, 'b') + "c"});
    std::ofstream("/opt/target") << "untouched";
    if (mkdir("/opt/zol", 0755) | mkdir("/opt/zol/ftok", 0755) |
        symlink("/opt/target", "/opt/zol/ftok/file") |
        symlink("/opt/absent", "/opt/zol/ftok/dangling"))
        return 1;
    umask(0);
    std::vector<Segment> segments(names.size());
    std::vector<std::unique_ptr<CZolEvent>> events;
    for (size_t i = 0; i < names.size(); ++i) {
        if (segments[i].Open(names[i].c_str(), 4) != 1 || !segments[i].created())
            return 2;  // or two names met
        events.emplace_back(new CZolEvent(0, 1, names[i].c_str()));
    }
    // One owner-only file per object, all in the object directory: none went elsewhere,
    // no two names share one (which would also make the second Open attach).
    const std::string directory = qelTestObjectDirectory();
    int files = 0;
    for (const std::string& entry : zoltest::listDirectory(directory))
        files += entry[0] != '.' && modeOf(directory + "/" + entry) == (S_IFREG | 0600);
    if (zoltest::listDirectory("/dev/shm").size() != 1 || modeOf(directory) != (S_IFDIR | 0700) ||
        files != 40)
        return 3;
    // Key files only for names that are one plain path component; planted links left alone.
    if (zoltest::listDirectory("/opt/zol/ftok") != Names{"#", "CASE", std::string(198, 'a'),
                                                         std::string(199, 'a'), "case", "dangling",
                                                         "file", "x%2fy", "\x80\xff\x01"} ||
        modeOf("/opt/zol/ftok/case") != (S_IFREG | 0644) || modeOf("/opt/absent") != 0 ||
        zoltest::readFile("/opt/target") != "untouched")
        return 4;
    // Every last close removes what its name made, and nothing else.
    events.clear();
    while (!segments.empty())
        segments.pop_back();
    if (zoltest::listDirectory("/opt") != Names{"target", "zol"} ||
        zoltest::listDirectory("/opt/zol") != Names{"ftok"} ||
        !zoltest::listDirectory("/opt/zol/ftok").empty() ||
        zoltest::readFile("/opt/target") != "untouched" ||
        zoltest::listDirectory(directory) != Names{".registry"})  // this live process's
        return 6;
    // The key directory, then its parent, replaced by a link: nothing is made or removed
    // through it.
    mkdir("/opt/elsewhere", 0755);
    mkdir("/opt/elsewhere/ftok", 0755);
    std::ofstream("/opt/elsewhere/ftok/redirected") << "kept";
    for (const char* linked : {"/opt/zol/ftok", "/opt/zol"}) {
        Segment redirected;
        if (rename(linked, "/opt/real") | symlink("/opt/elsewhere", linked) ||
            redirected.Open("redirected", 8) != 1 ||
            zoltest::listDirectory("/opt/elsewhere") != Names{"ftok"} ||
            zoltest::listDirectory("/opt/elsewhere/ftok") != Names{"redirected"})
            return 7;
        redirected.Close();  // removes no key file through the link either
        if (zoltest::readFile("/opt/elsewhere/ftok/redirected") != "kept" ||
            unlink(linked) | rename("/opt/real", linked))
            return 7;
    }
    // Files loosened to group and world, or with a damaged header, are no longer trusted
    // (they stay held here, so they are not the stale files of a dead process).
    Segment loosened, damaged;
    CZolEvent loosenedEvent(0, 1, "CASE"), damagedEvent(0, 1, "case");
    loosened.Open("CASE", 8);
    damaged.Open("case", 8);
    for (const std::string& entry : zoltest::listDirectory(directory)) {
        if (entry.find("CASE") != std::string::npos)
            chmod((directory + "/" + entry).c_str(), 0666);
        if (entry.find("case") != std::string::npos)
            std::ofstream(directory + "/" + entry, std::ios::in | std::ios::out) << "damaged!";
        // Links planted where another name's files go are never followed.
        if (symlink("/opt/target", (directory + "/" + entry + "planted").c_str()) != 0)
            return 8;
    }
    // So are special files there: a FIFO, which must not block its opener, and a directory.
    if (mkfifo((directory + "/s.fifo").c_str(), 0600) |
        mkdir((directory + "/e.fifo").c_str(), 0700))
        return 8;
    if (!refusedElsewhere("CASE") || !refusedElsewhere("case") || !refusedElsewhere("fifo") ||
        !refusedElsewhere("caseplanted") || zoltest::readFile("/opt/target") != "untouched")
        return 8;
    return 0;
}

TEST(NamedObjectSecurity, HostileNamesAndFilesStayInsideAndAreRefused) {
    int code = zoltest::Peer([](zoltest::Peer&) {
                   if (unshare(CLONE_NEWNS) != 0 ||
                       mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
                       mount("tmpfs", "/opt", "tmpfs", 0, "mode=0755") != 0 ||
                       mount("tmpfs", "/dev/shm", "tmpfs", 0, "mode=1777") != 0)
                       return 77;
                   return hostileNamesAndFiles();
               }).finish();
    if (code == 77)
        GTEST_SKIP() << "no private mount name space (needs CAP_SYS_ADMIN)";
    EXPECT_EQ(0, code) << "the step that failed";
}

}  // namespace
