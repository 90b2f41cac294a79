// Where the object directory may be and who may use it: root's links on its path are
// followed, anyone else's are not; a group directory is shared by its members and by its
// owner outside the group; every refusal names its cause. In a child with its own /dev, so
// that /dev/shm can be a link while the real one is never touched.
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>

#include <gtest/gtest.h>

#include "ZolTestSupport.h"
#include "qel.h"

namespace {

constexpr uid_t kMember = 4242;  // of group kGroup only; also owns a link
constexpr gid_t kGroup = 4243;   // root, the owner of its directory, is not in it

// /dev a tmpfs of this mount namespace: /dev/shm a link of root's, and the directories the
// table names. Root drops its supplementary groups, so it is no member of kGroup.
bool privateDev() {
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) ||
        mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") || setgroups(0, nullptr))
        return false;
    umask(0);
    std::ofstream("/dev/run-file");
    return !(mkdir("/dev/real-shm", 01777) | symlink("/dev/real-shm", "/dev/shm") |
             mkdir("/dev/run", 0755) | symlink("/dev/run", "/dev/varrun") |
             mkdir("/dev/run/own", 0700) | symlink("/dev/run/own", "/dev/theirs") |
             lchown("/dev/theirs", kMember, kMember) | mkdir("/dev/run/all", 0777) |
             mkdir("/dev/run/sticky", 01700) | mkdir("/dev/run/group", 0770) |
             chown("/dev/run/group", 0, kGroup) | chmod("/dev/run/group", 02770) |
             close(open("/dev/run/group/e.planted", O_CREAT | O_WRONLY, 0600)));
}

TEST(StoreDirectory, RootsLinksAreFollowedGroupsSharedWithTheirOwnerAndRefusalsNamed) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: links of root's, other users' ids, a mount name space";
    // Who opens the event called name where ZOLTOV_RUNTIME_DIR says (null: the default
    // directory), after every row above (each still holds what it opened): "made" it,
    // found it "set" by its maker, or the reason it was refused.
    const struct Row {
        const char* directory;
        bool member;
        const char* name;
        std::string answer;
    } rows[] = {
        {nullptr, false, "x", "made"},
        {"/dev/varrun/group", false, "x", "made"},
        {"/dev/run/group", true, "x", "set"},
        {"/dev/run/group", true, "planted", "/dev/run/group/e.planted: permission denied to uid "},
        {"/dev/theirs", false, "x",
         "ZOLTOV_RUNTIME_DIR=/dev/theirs cannot be used: /dev/theirs is a symbolic link of uid "
         "4242; only links owned by root are followed"},
        {"/dev/run/own", true, "x",
         "ZOLTOV_RUNTIME_DIR=/dev/run/own cannot be used: /dev/run/own: permission denied to uid "
         "4242 (owner root (uid 0)"},
        {"/dev/run/all", false, "x",
         "ZOLTOV_RUNTIME_DIR=/dev/run/all (owner root (uid 0), group root (gid 0), mode 0777) "
         "is writable by all"},
        {"/dev/run/sticky", false, "x",
         "ZOLTOV_RUNTIME_DIR=/dev/run/sticky (owner root (uid 0), group root (gid 0), mode 1700) "
         "is sticky"},
        {"/dev/run-file", false, "x",
         "ZOLTOV_RUNTIME_DIR=/dev/run-file cannot be used: /dev/run-file is not a directory"},
        {"/nonexistent", false, "x",
         "ZOLTOV_RUNTIME_DIR=/nonexistent cannot be used: /nonexistent does not exist"},
        {"relative", false, "x", "ZOLTOV_RUNTIME_DIR=relative is not an absolute directory path"},
    };
    zoltest::Peer child([&](zoltest::Peer& test) {
        if (!privateDev())
            return 77;
        std::vector<std::unique_ptr<zoltest::Peer>> openers;
        for (const Row& row : rows) {
            openers.emplace_back(new zoltest::Peer([&](zoltest::Peer& self) {
                row.directory ? setenv("ZOLTOV_RUNTIME_DIR", row.directory, 1)
                              : unsetenv("ZOLTOV_RUNTIME_DIR");
                if (row.member && (setgroups(1, &kGroup) | setgid(kGroup) | setuid(kMember)))
                    return 1;
                long event = 0;
                if (qelCreateEvent(row.name, &event) != QEL_OK)
                    self.send(qelFailureReason());
                else if (qelWaitEvent(event, 0) == QEL_OK)
                    self.send("set");
                else
                    self.send(qelSetEvent(event) == QEL_OK ? "made" : "not set");
                self.receive();  // held until the table is done
                return 0;
            }));
            test.send(openers.back()->receive());
        }
        return 0;
    });
    std::vector<std::string> answers;
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i)
        answers.push_back(child.receive());
    if (child.finish() == 77)
        GTEST_SKIP() << "no private mount name space for /dev";
    for (size_t i = 0; i < answers.size(); ++i)
        EXPECT_EQ(answers[i].find(rows[i].answer), 0u)
            << (rows[i].directory ? rows[i].directory : "default") << ": " << answers[i];
}

}  // namespace
