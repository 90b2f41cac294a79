// The zoltov tool run as a user runs it: a separate process, its output and exit status.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "CZolMutex.h"
#include "CZolSharedMemory.h"
#include "ZolTestSupport.h"

#ifdef ZOL_TOOL_PATH

namespace {

struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string out;                           // a piece of standard output ("": must be empty)
    std::string err;                           // a piece of standard error ("": must be empty)
    std::vector<zoltest::EnvChange> env = {};  // changes to the environment of the run
};

// Runs each case in turn; returns what the last one saw.
zoltest::ProgramResult check(std::initializer_list<Case> cases) {
    zoltest::ProgramResult r;
    for (const Case& c : cases) {
        SCOPED_TRACE("zoltov " + testing::PrintToString(c.args));
        r = zoltest::runProgram(ZOL_TOOL_PATH, c.args, c.env, 30000);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_TRUE(c.out.empty() ? r.out.empty() : r.out.find(c.out) != r.out.npos) << r.out;
        EXPECT_TRUE(c.err.empty() ? r.err.empty() : r.err.find(c.err) != r.err.npos) << r.err;
    }
    return r;
}

zoltest::ProgramResult shell(const std::string& script) {
    return zoltest::runProgram("/bin/sh", {"-c", script},
                               {{"Z", ZOL_TOOL_PATH}, {"H", ZOL_TEST_HELPER_DIR "/qel_helper"}},
                               30000);
}

TEST(ZoltovTool, CommandLinesGiveTheirStatusAndOutput) {
    zoltest::TempDir dir;
    const std::string f = dir.writeFile(
        "s.ini",
        "owner = Tools Team\n[Server]\n  Port = 8080 ; the port\nBig = 4000000000\n"
        "Host = localhost\nRatio = 2.5e-3\nTrail = 12abc\n"
        "List = 10, \"a, b \" , \"say \\\"hi\\\"\", , last\n[paths]\nPort = 9\n[Limits]\n");
    mkfifo((dir.path() + "/fifo").c_str(), 0600);
    const std::string a = dir.path() + "/a", b = dir.path() + "/b", ab = a + ":" + b;
    ASSERT_EQ(zoltest::Results({mkdir(a.c_str(), 0700), mkdir(b.c_str(), 0700)}),
              zoltest::Results({0, 0}));
    dir.writeFile("b/tool", "");
    const std::string parts = "10\na, b \nsay \"hi\"\n\nlast\n";
    check({
        {{"--help"}, 0, "Usage: zoltov [OPTION] COMMAND", ""},
        {{"help", "shm", "remove"}, 0, "-f, --force", ""},
        {{"help", "shm"}, 0, "  zoltov shm repair [NAME]\n      Take back", ""},
        {{"ini", "get", "--help"}, 0, "Usage:\n  zoltov ini get FILE", ""},
        {{"-V"}, 0, "zoltov 1.", ""},
        {{}, 2, "", "missing command"},
        {{"frobnicate"}, 2, "", "unknown command 'frobnicate'"},
        {{"-x"}, 2, "", "unknown option '-x'"},
        {{"shm"}, 2, "", "zoltov shm: missing command\nTry 'zoltov shm --help'"},
        {{"shm", "nosuch"}, 2, "", "zoltov shm: unknown command 'nosuch'\nTry 'zoltov shm --help'"},
        {{"help", "nosuch"}, 2, "", "zoltov help: no command or group 'nosuch'"},
        {{"shm", "list", "extra"}, 2, "", "zoltov shm list: unexpected argument 'extra'"},
        {{"ini", "get", "f", "s"}, 2, "", "Try 'zoltov ini get --help'"},
        {{"ini", "get", "f", "s", "i", "--type"}, 2, "", "'--type' needs a value"},
        {{"ini", "get", "f", "s", "i", "--type=float"}, 2, "", "unknown type 'float'"},
        {{"shm", "remove", "x", "--now"}, 2, "", "unknown option '--now'"},
        // After --, a word that looks like an option is an operand.
        {{"which", "--", "-no-such"}, 1, "", "zoltov which: '-no-such' not found in PATH"},
        {{"which", "tool"}, 0, b + "/tool\n", "", {{"PATH", ab}}},
        {{"which", b + "/tool"}, 0, b + "/tool\n", ""},
        {{"which", a + "/tool"}, 1, "", "No such file"},
        {{"ini", "get", f, "[SERVER]", "PORT", "--type=int"}, 0, "8080\n", ""},
        {{"ini", "get", f, "Server", "Big", "--type", "long"}, 0, "4000000000\n", ""},
        {{"ini", "get", f, "Server", "Ratio", "-t", "double"}, 0, "0.0025000000000000001\n", ""},
        {{"ini", "get", f, "Server", "List"}, 0, "10\n", ""},
        {{"ini", "get", f, "Server", "List", "-t", "parts"}, 0, parts, ""},
        {{"ini", "get", f, "", "owner"}, 0, "Tools Team\n", ""},
        {{"ini", "get", f, "Server", "Big", "-t", "int"}, 3, "", "reads it as -294967296\n"},
        {{"ini", "get", f, "Server", "Host", "-t", "int"}, 3, "", "'localhost' is not a valid"},
        {{"ini", "get", f, "Server", "Trail", "-t", "int"}, 3, "", "'12abc' is not a valid"},
        {{"ini", "get", f, "Server", "owner"}, 1, "", "zoltov ini get: item 'owner' not found"},
        {{"ini", "get", f, "Nowhere", "Port"}, 1, "", "section 'Nowhere' not found"},
        {{"ini", "sections", f}, 0, "SERVER\nPATHS\nLIMITS\n", ""},
        {{"ini", "sections", "/no.ini"}, 3, "", "sections: cannot open '/no.ini': No such"},
        {{"ini", "sections", dir.path() + "/fifo"}, 3, "", "not a regular file"},
    });
    // Output that cannot be written is a failure, with the reason.
    auto r = shell("\"$Z\" --help >/dev/full");
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
}

// Opens name in a forked child that is then killed: its connection stays counted.
void leaveDeadConnection(const std::string& name) {
    zoltest::runChild([&] { return new CZolSharedMemory(name.c_str(), 16), raise(SIGKILL); },
                      10000);
}

TEST(ZoltovTool, ShmListsShowsRemovesAndRepairsSegments) {
    // A directory of its own: another test's process may sweep a crashed user's segment from
    // a shared one at any time, before this test has looked at it.
    const char* run = getenv("ZOL_QEL_NAMESPACE");
    setenv("ZOL_QEL_NAMESPACE",
           (std::string(run ? run : "") + "tool" + std::to_string(getpid())).c_str(), 1);
    // A newline in the name is printed escaped: it cannot forge a row.
    const std::string tail = zoltest::uniqueName("shm"), name = "tool\n" + tail;
    // A name too long for a file name is stored hashed: listed and removed all the same.
    const std::string busy = zoltest::uniqueName(std::string(230, 'f'));
    CZolSharedMemory mapped(busy.c_str(), 8);
    CZolSharedMemory segment(name.c_str(), 100);
    // Left by a crashed process: one connection, no process; removable without --force.
    const std::string crashed = zoltest::uniqueName("toolcrash");
    leaveDeadConnection(crashed);
    memcpy_shmem(segment, "hello", 5);
    auto r = check({{{"shm", "list"}, 0, "100           1         1  tool\\n" + tail, ""}});
    EXPECT_NE(r.out.find(" 1         0  " + crashed + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  " + busy + "\n"), std::string::npos) << r.out;
    check({
        {{"shm", "show", name},
         0,
         "size: 100 bytes of data (104 with the connection count)\nconnections: 1\n"
         "processes: 1\n  pid " +
             std::to_string(getpid()) + " (",
         ""},
        {{"shm", "show", name}, 0, "data (first 64 bytes):\n  0000  68 65 6c 6c 6f 00", ""},
        {{"shm", "remove", name}, 3, "", "in use by 1 process"},  // and left intact
        {{"shm", "show", name}, 0, "connections: 1\n", ""},
        {{"shm", "remove", crashed}, 0, "removed " + crashed + "\n", ""},
        {{"shm", "show", crashed}, 1, "", "no segment named"},
        {{"shm", "remove", crashed}, 1, "", "no segment named"},
        // --force takes a mapped segment; its user keeps its memory.
        {{"shm", "remove", "--force", busy}, 0, "removed", ""},
        {{"shm", "show", busy}, 1, "", "no segment named"},
    });
    EXPECT_NE(memcpy_shmem(mapped, "1234567", 8), nullptr);

    const std::string fixed = zoltest::uniqueName("toolrepair");
    const std::string orphan = zoltest::uniqueName("toolorphan");
    CZolSharedMemory first(fixed.c_str(), 16);
    CZolSharedMemory second(fixed.c_str(), 16);
    leaveDeadConnection(fixed);
    leaveDeadConnection(orphan);
    check({
        {{"shm", "repair", fixed}, 0, "repaired " + fixed + ": connections 3 -> 2\n", ""},
        {{"shm", "repair", fixed}, 0, fixed + ": connections 2, nothing to repair\n", ""},
        {{"shm", "repair", orphan}, 0, "removed " + orphan + ": no process uses it", ""},
        {{"shm", "repair", orphan}, 1, "", "no segment named"},  // as show and remove
    });
    EXPECT_EQ(zoltest::objectFiles(orphan), std::vector<std::string>());  // key file included
    second.Close();  // the count is right again: the second close frees the segment
    first.Close();
    check({{{"shm", "show", fixed}, 1, "", "no segment named"}});
}

// In a private mount namespace. First a private /dev/shm: a FIFO where a segment's file goes,
// then the directory taken by another user, then by a link. Then two users sharing a
// directory through its group, under a /proc that hides each one's processes from the other:
// one user's tool and library must take the other's process, waiting on an event and
// connected to a segment, for alive rather than remove or remake what it holds; an event made
// in another PID namespace does not stop the repair.
TEST(ZoltovTool, ShmPassesOverWhatIsNotItsOwnAndKeepsWhatOthersHold) {
    auto r = shell(R"(unshare -m sh -c 'mount --make-rprivate / &&
        mount -t tmpfs -o mode=1777 none /dev/shm || exit 77
        D=/dev/shm/zoltov-$(id -u)${ZOL_QEL_NAMESPACE:+-$ZOL_QEL_NAMESPACE}
        mkdir -m 700 $D && mkfifo $D/s.fifo && "$Z" shm list && "$Z" shm show fifo
        echo "show=$?"; "$Z" shm repair; [ -e $D ] && echo "FIFO kept"
        mkdir -m 700 $D; chown 4242 $D; "$Z" shm list; echo "list=$?"
        "$Z" demo; echo "demo=$?"; rm -r $D; ln -s /tmp $D; "$Z" shm list; echo "link=$?"
        mount -t proc -o hidepid=2 proc /proc || exit 77
        export ZOLTOV_RUNTIME_DIR=$(mktemp -d) && chgrp 4243 $ZOLTOV_RUNTIME_DIR &&
        chmod 2770 $ZOLTOV_RUNTIME_DIR || exit 77
        as() { u=$1; shift; setpriv --reuid $u --regid $u --groups 4243 "$@"; }
        as 4244 "$H" x 10000 segment & X=$!
        unshare -p -f setpriv --reuid 4244 --regid 4244 --groups 4243 "$H" y 2000 &
        for i in $(seq 500); do [ -e $ZOLTOV_RUNTIME_DIR/e.y ] &&
            as 4242 "$Z" shm show x >/dev/null 2>&1 && break; sleep 0.01; done
        as 4242 "$Z" shm remove x; echo "remove=$?"; as 4242 "$Z" shm repair x
        as 4242 "$Z" shm repair >/dev/null; echo "repair=$?"; as 4242 "$H" x; wait $X
        echo "waited=$?"; wait; rm -r $ZOLTOV_RUNTIME_DIR')");
    if (r.exitCode == 77 || r.err.find("unshare:") != std::string::npos)
        GTEST_SKIP() << "no private mount namespace: " << r.err;
    for (const char* piece :
         {"NAME\nshow=1\nremoved ", "s.fifo: a link or special file, not an object\nlist=3\n",
          "resources\nthe object directory",
          " is a directory of uid 4242, not a private directory of ",
          "demo=1\nlink=3\nremove=3\nx: connections 1, nothing to repair\nrepair=0\nwaited=0\n"})
        EXPECT_NE(r.out.find(piece), std::string::npos) << piece << " in\n" << r.out;
    EXPECT_TRUE(r.err.find("is a symbolic link of ") != r.err.npos &&
                r.err.find("remedy: have root remove it, or set ZOLTOV_RUNTIME_DIR") < r.err.npos)
        << r.err;
}

TEST(ZoltovTool, DemoTellsItsStoryAndLeavesNothingEvenWhenItsOutputCloses) {
    auto r = check({{{"demo"}, 0, "Done in ", ""}});
    size_t from = 0;
    // One outcome of each step, in order.
    for (const char* line :
         {"child reads 42 -7 4000000000 true", "the segment is freed", "(result 258, timed out)",
          "every read saw a whole step", "Port 8080, MaxClients 4000000000",
          "'/opt/my apps, current'", "nothing the demo made is left behind"}) {
        ASSERT_NE(from = r.out.find(line, from), r.out.npos) << line << ", in order, in\n" << r.out;
    }
    // A reader that stops after two lines: the demo ends quietly and removes everything.
    // The shell waits for the whole pipeline, so the demo has ended when it returns.
    r = shell("\"$Z\" demo | head -2");
    EXPECT_EQ(r.err, "");
    size_t at = r.out.find("'zoltov-demo-");
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string segment = r.out.substr(at + 1, r.out.find('\'', at + 1) - at - 1);
    EXPECT_EQ(r.out.find('\n', at), r.out.size() - 1) << "two lines only: " << r.out;
    EXPECT_EQ(zoltest::objectFiles(segment), std::vector<std::string>()) << segment;
}

}  // namespace

#endif  // ZOL_TOOL_PATH
