// Where the object directory may be and who may use it: root's links on its path are
// followed, anyone else's are not; a group directory is shared by its members and by its
// owner outside the group; every refusal names its cause. In a mount name space with its own
// /dev, so that /dev/shm can be a link while the real one is never touched.
#include <gtest/gtest.h>

#include "ZolTestSupport.h"

// /dev/shm is a link of root's to /dev/s, /dev/v (relative) to /dev/r, where o is root's own,
// a writable by all, k sticky and g root:4243 2770, holding a file of root's 0600 (e.p);
// /dev/t is a link of uid 4242, /dev/l one to itself, /dev/f a file (/dev/null too: the shell
// gives it to background jobs). Root, the owner of g, is no member of 4243; $m runs a member
// (uid 4242, group 4243 only), through setpriv's setgroups, setgid and setuid. E runs a command for
// at most 5 s with ZOLTOV_RUNTIME_DIR set
// ("": the default directory). The helper H makes or opens an event: with a time-out it waits
// for someone to set it, else it sets it; a refusal is a line on standard error.
TEST(StoreDirectory, RootsLinksAreFollowedGroupsSharedWithTheirOwnerAndRefusalsNamed) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: links of root's, other users' ids, a mount name space";
    auto r = zoltest::runProgram("/bin/sh", {"-c", R"(unshare -m setpriv --clear-groups sh -c '
        mount --make-rprivate / && mount -t tmpfs -o mode=755 none /dev || exit 77
        cd /dev && umask 0 && mkdir -m 1777 s && ln -s /dev/s shm && mkdir -m 755 r && ln -s r v &&
        mkdir -m 700 r/o && mkdir -m 777 r/a && mkdir -m 1700 r/k && mkdir r/g && chgrp 4243 r/g &&
        chmod 2770 r/g && touch r/g/e.p f && chmod 600 r/g/e.p && ln -s r/o t && chown -h 4242 t &&
        ln -s l l && touch null || exit 4
        m="setpriv --reuid 4242 --regid 4243 --groups 4243"
        E() { d=$1; shift; ZOLTOV_RUNTIME_DIR=$d timeout 5 "$@"; }
        await() { for i in $(seq 500); do [ -e r/g/e.$1 ] && break; sleep 0.01; done; }
        E "" "$H" x; echo "default=$?"; E /dev/v/g "$H" x 10000 & await x; E /dev/r/g $m "$H" x
        wait $!; echo "owner=$?"; E /dev/r/g $m "$H" y 10000 & await y; E /dev/r/g "$H" y
        wait $!; echo "member=$?"; E /dev/r/g $m "$H" p; E /dev/r/o $m "$H" x
        for d in /dev/t /dev/r/a /dev/r/k /dev/f /none /dev/l; do E $d "$H" x; done')"},
                                 {{"H", ZOL_TEST_HELPER_DIR "/qel_helper"}});
    if (r.exitCode == 77 || r.err.find("unshare:") != std::string::npos)
        GTEST_SKIP() << "no private mount name space: " << r.err;
    EXPECT_EQ(r.out, "default=0\nowner=0\nmember=0\n") << r.err;
    const std::string var = "ZOLTOV_RUNTIME_DIR=", root = " (owner root (uid 0), group ";
    for (const std::string& line :
         {"/dev/r/g/e.p: permission denied to uid 4242" + root,
          var + "/dev/r/o cannot be used: /dev/r/o: permission denied to uid 4242" + root,
          var + "/dev/t cannot be used: /dev/t is a symbolic link of uid 4242",
          var + "/dev/r/a" + root + "root (gid 0), mode 0777) is writable by all",
          var + "/dev/r/k" + root + "root (gid 0), mode 1700) is sticky",
          var + "/dev/f cannot be used: /dev/f is not a directory",
          var + "/none cannot be used: /none does not exist",
          var + "/dev/l cannot be used: /dev/l: too many symbolic links"})
        EXPECT_NE(r.err.find(line), std::string::npos) << line << " in\n" << r.err;
}
