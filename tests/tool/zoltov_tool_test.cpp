// The zoltov tool run as a user runs it: a separate process, its output and exit status.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "../shm/ShmTestSupport.h"
#include "CZolSharedMemory.h"
#include "ZolRunProgram.h"
#include "ZolTestSupport.h"

#ifdef ZOL_TOOL_PATH

namespace {

using zoltest::EnvChange;
using zoltest::ProgramResult;

ProgramResult zoltov(const std::vector<std::string>& args, const std::vector<EnvChange>& env = {}) {
    ProgramResult r = zoltest::runProgram(ZOL_TOOL_PATH, args, env, 30000);
    EXPECT_FALSE(r.timedOut) << "zoltov timed out";
    return r;
}

bool contains(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

TEST(ZoltovTool, FollowsUnixConventionsForHelpAndUsageErrors) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* stderrPiece;  // nullptr: standard error stays empty
    };
    const Case cases[] = {
        {{"--help"}, 0, nullptr},
        {{"-h"}, 0, nullptr},
        {{"ini", "get", "--help"}, 0, nullptr},
        {{}, 2, "missing command"},
        {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
        {{"ini"}, 2, "ini:"},
        {{"ini", "sections"}, 2, "expected FILE"},
        {{"ini", "get", "f", "s"}, 2, "expected FILE SECTION ITEM"},
        {{"ini", "get", "f", "s", "i", "--type", "float"}, 2, "unknown type 'float'"},
        {{"ini", "get", "f", "s", "i", "--type"}, 2, "--type needs a value"},
        {{"ini", "get", "f", "s", "i", "--bogus"}, 2, "unknown option"},
        {{"which"}, 2, "expected one PROGRAM"},
        {{"which", "a", "b"}, 2, "expected one PROGRAM"},
        {{"shm"}, 2, "shm:"},
        {{"shm", "show"}, 2, "expected NAME"},
        {{"shm", "remove", "x", "--now"}, 2, "unknown option"},
        {{"shm", "repair", "x", "y"}, 2, "expected at most one NAME"},
        {{"demo", "extra"}, 2, "takes no arguments"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& a : c.args) {
            line += a + " ";
        }
        SCOPED_TRACE("zoltov " + line);
        ProgramResult r = zoltov(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode);
        if (c.stderrPiece == nullptr) {
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.out.rfind("Usage: zoltov", 0), 0u) << r.out;
        } else {
            EXPECT_TRUE(contains(r.err, c.stderrPiece)) << r.err;
            EXPECT_TRUE(contains(r.err, "zoltov --help")) << r.err;
            EXPECT_EQ(r.out, "") << "errors go to standard error only";
        }
    }
}

const char kSettings[] =
    "; leading comment\n"
    "owner = Tools Team\n"
    "[Server]\n"
    "  Port = 8080 ; the port\n"
    "Big = 4294967297\n"
    "Ratio = 2.5e-3\n"
    "Verbose = Yes\n"
    "Empty =\n"
    "List = 10, \"a, b \" , \"say \\\"hi\\\"\", , last\n"
    "[paths]\n"
    "Port = 9\n"
    "[Limits]\n";

TEST(ZoltovTool, IniGetPrintsTypedItemsAndReportsWhatIsMissing) {
    zoltest::TempDir dir;
    const std::string file = dir.writeFile("settings.ini", kSettings);
    struct Case {
        const char* section;
        const char* item;
        const char* type;  // nullptr: the default
        int exitCode;
        const char* out;
    };
    const Case cases[] = {
        {"Server", "port", "int", 0, "8080\n"},
        {"[SERVER]", "PORT", nullptr, 0, "8080\n"},  // cut at the comment, blanks trimmed
        {"paths", "Port", "int", 0, "9\n"},
        {"Server", "Big", "long", 0, "4294967297\n"},
        {"Server", "Big", "int", 0, "1\n"},  // strtol, then cut to 32 bits
        {"Server", "Ratio", "double", 0, "0.0025000000000000001\n"},
        {"Server", "Verbose", "char", 0, "Y\n"},
        {"Server", "Empty", "int", 0, "0\n"},
        {"Server", "Empty", "char", 0, "\n"},
        {"Server", "List", "string", 0, "10\n"},
        {"Server", "List", "parts", 0, "10\na, b \nsay \"hi\"\n\nlast\n"},
        {"", "owner", nullptr, 0, "Tools Team\n"},  // the lines before the first section
        {"Server", "owner", nullptr, 1, ""},
        {"Server", "Missing", "int", 1, ""},
        {"Limits", "Port", "parts", 1, ""},
        {"Nowhere", "Port", nullptr, 1, ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"ini", "get", file, c.section, c.item};
        if (c.type != nullptr) {
            args.insert(args.end(), {"--type", c.type});
        }
        SCOPED_TRACE(std::string(c.section) + " " + c.item + " " + (c.type ? c.type : "-"));
        ProgramResult r = zoltov(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err.empty(), c.exitCode == 0) << r.err;
        if (c.exitCode == 1) {
            EXPECT_TRUE(contains(r.err, "not found")) << r.err;
        }
    }
}

TEST(ZoltovTool, IniSectionsWalksHeadersInFileOrder) {
    zoltest::TempDir dir;
    const std::string file = dir.writeFile("settings.ini", kSettings);
    ProgramResult r = zoltov({"ini", "sections", file});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "SERVER\nPATHS\nLIMITS\n");

    const std::string empty = dir.writeFile("empty.ini", "a = 1\n");
    r = zoltov({"ini", "sections", empty});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");

    // A file that cannot be read is a bad argument, not an empty result.
    for (const std::string& bad : {dir.path() + "/absent.ini", dir.path()}) {
        r = zoltov({"ini", "sections", bad});
        EXPECT_EQ(r.exitCode, 2) << bad;
        EXPECT_TRUE(contains(r.err, "cannot open")) << r.err;
        r = zoltov({"ini", "get", bad, "s", "i"});
        EXPECT_EQ(r.exitCode, 2) << bad;
    }
}

TEST(ZoltovTool, WhichPrintsTheFirstPathDirectoryHoldingTheProgram) {
    zoltest::TempDir dir;
    const std::string a = dir.path() + "/a";
    const std::string b = dir.path() + "/b";
    ASSERT_EQ(mkdir(a.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(b.c_str(), 0700), 0);
    dir.writeFile("a/other", "");
    dir.writeFile("b/tool", "");
    dir.writeFile("b/other", "");
    struct Case {
        const char* program;
        std::string path;
        bool unset;
        int exitCode;
        std::string out;
    };
    const Case cases[] = {
        {"tool", a + ":" + b, false, 0, b + "/tool\n"},
        {"other", a + ":" + b, false, 0, a + "/other\n"},
        {"other", b + ":" + a, false, 0, b + "/other\n"},
        {"Tool", a + ":" + b, false, 1, ""},  // the case of letters counts
        {"tool", "::", false, 1, ""},
        {"tool", "", true, 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.program) + " PATH=" + c.path);
        EnvChange env{"PATH", c.path, c.unset};
        ProgramResult r = zoltov({"which", c.program}, {env});
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(contains(r.err, "not found"), c.exitCode == 1) << r.err;
    }
}

// The row of `shm list` for name, or "" when the segment is not listed.
std::string listedRow(const std::string& name) {
    ProgramResult r = zoltov({"shm", "list"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    size_t at = r.out.find("  " + name + "\n");
    if (at == std::string::npos) {
        return "";
    }
    size_t start = r.out.rfind('\n', at);
    return r.out.substr(start + 1, at + name.size() + 2 - start - 1);
}

TEST(ZoltovTool, ShmListsShowsAndRemovesSegments) {
    const std::string name = zoltest::uniqueName("toolshm");
    {
        CZolSharedMemory segment;
        ASSERT_EQ(segment.Open(name.c_str(), 100), 1);
        const char hello[] = "hello";
        memcpy_shmem(segment, hello, 5);

        std::string row = listedRow(name);
        ASSERT_NE(row, "") << "segment not listed";
        // size 104 (count + data), 1 connection, mapped by this process
        EXPECT_TRUE(contains(row, "104")) << row;
        EXPECT_TRUE(contains(row, " 1 ")) << row;

        ProgramResult r = zoltov({"shm", "show", name});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(contains(r.out, "name: " + name + "\n")) << r.out;
        EXPECT_TRUE(contains(r.out, "size: 104 bytes (data area 100)")) << r.out;
        EXPECT_TRUE(contains(r.out, "connections: 1\n")) << r.out;
        EXPECT_TRUE(contains(r.out, "processes: 1\n")) << r.out;
        EXPECT_TRUE(contains(r.out, "  0000  68 65 6c 6c 6f 00")) << r.out;

        // In use by this process: refused without --force, and left intact.
        r = zoltov({"shm", "remove", name});
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(contains(r.err, "in use")) << r.err;
        EXPECT_NE(listedRow(name), "");
    }
    // Closed by its last user: gone.
    EXPECT_EQ(listedRow(name), "");
    ProgramResult r = zoltov({"shm", "show", name});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(contains(r.err, "no segment named")) << r.err;
    r = zoltov({"shm", "remove", name});
    EXPECT_EQ(r.exitCode, 1);
}

TEST(ZoltovTool, ShmRemovesASegmentLeftByACrashedProcess) {
    const std::string name = zoltest::uniqueName("toolcrash");
    pid_t child = zoltest::forkChild([&] {
        CZolSharedMemory* segment = new CZolSharedMemory(name.c_str(), 16);
        (void)segment;
        raise(SIGKILL);  // dies without closing: the count stays 1
        return 0;
    });
    zoltest::waitChild(child, 10000);
    std::string row = listedRow(name);
    ASSERT_NE(row, "");
    EXPECT_TRUE(contains(row, " 1         0  ")) << row;  // 1 connection, no process

    ProgramResult r = zoltov({"shm", "remove", name});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "removed " + name + "\n");
    EXPECT_EQ(listedRow(name), "");

    // --force takes a segment that is still mapped; its user keeps its mapping.
    const std::string busy = zoltest::uniqueName("toolforce");
    CZolSharedMemory segment(busy.c_str(), 8);
    r = zoltov({"shm", "remove", busy, "--force"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(listedRow(busy), "");
    const char bytes[] = "1234567";
    EXPECT_NE(memcpy_shmem(segment, bytes, 8), nullptr);
}

// Opens name in a forked child that is then killed: its connection stays counted.
void leaveDeadConnection(const std::string& name) {
    pid_t child = zoltest::forkChild([&] {
        new CZolSharedMemory(name.c_str(), 16);
        raise(SIGKILL);
        return 0;
    });
    zoltest::waitChild(child, 10000);
}

TEST(ZoltovTool, ShmRepairRecountsLiveConnectionsAndRemovesAnUnusedSegment) {
    // Two connections of this process (a mapping each) and one of a killed process.
    const std::string name = zoltest::uniqueName("toolrepair");
    CZolSharedMemory first(name.c_str(), 16);
    auto second = std::make_unique<CZolSharedMemory>(name.c_str(), 16);
    leaveDeadConnection(name);
    EXPECT_TRUE(contains(zoltov({"shm", "show", name}).out, "connections: 3\n"));

    ProgramResult r = zoltov({"shm", "repair", name});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "repaired " + name + ": connections 3 -> 2\n");
    r = zoltov({"shm", "repair", name});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, name + ": connections 2, nothing to repair\n");
    // The count is right again: the second close is the last and frees the segment.
    second.reset();
    first.Close();
    EXPECT_EQ(listedRow(name), "");

    // Only a dead user: the segment goes, with its key file and its mutex.
    const std::string orphan = zoltest::uniqueName("toolorphan");
    leaveDeadConnection(orphan);
    r = zoltov({"shm", "repair", orphan});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "removed " + orphan + ": no process uses it (connections was 1)\n");
    EXPECT_FALSE(shmtest::exists(shmtest::keyFile(orphan)));
    EXPECT_EQ(shmtest::leftovers(orphan), std::vector<std::string>());
    // Nothing left to repair is a success too.
    r = zoltov({"shm", "repair", orphan});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, orphan + ": no segment, nothing to repair\n");
}

TEST(ZoltovTool, DemoRunsBothRoadsAndLeavesNothingBehind) {
    ProgramResult r = zoltov({"demo"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    const char* expected[] = {
        "writer: opened the stream, connections 1\n",
        "): opened the stream, connections 2\n",
        "writer: the segment now counts 2 connections\n",
        "writer: sent 13 bytes in one write: 42 -7 4000000000 true\n",
        "reader: received 13 bytes in one read: 42 -7 4000000000 true\n",
        "reader: closed the stream\n",
        "segment freed\n",
        "sections: SERVER PATHS LIMITS\n",
        "[SERVER] PORT = 8080 (int)\n",
        "[SERVER] MAXCLIENTS = 4000000000 (long)\n",
        "  part 2: '/opt/my apps, current'\n",
    };
    size_t from = 0;
    for (const char* line : expected) {
        size_t at = r.out.find(line, from);
        EXPECT_NE(at, std::string::npos) << "missing or out of order: " << line << r.out;
        from = at == std::string::npos ? from : at;
    }
    // Its own segment is gone (other demos may run at the same time).
    size_t at = r.out.find("stream 'zoltov-demo-");
    ASSERT_NE(at, std::string::npos) << r.out;
    at += 8;
    const std::string segment = r.out.substr(at, r.out.find('\'', at) - at);
    ASSERT_EQ(segment.rfind("zoltov-demo-", 0), 0u) << segment;
    ASSERT_EQ(segment.find_first_not_of("0123456789", 12), std::string::npos) << segment;
    EXPECT_EQ(listedRow(segment), "") << segment;
    EXPECT_EQ(zoltov({"shm", "show", segment}).exitCode, 1) << segment;
}

}  // namespace

#else

// Configured without the tool (ZOL_BUILD_TOOLS=OFF): nothing to run.
TEST(ZoltovTool, NotBuilt) {
    GTEST_SKIP() << "the zoltov tool is not part of this build";
}

#endif  // ZOL_TOOL_PATH
