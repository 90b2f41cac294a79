// `zoltov locks` against real processes that own, wait, die and stop: what it lists, the
// deadlocks it names, and the check at wait time (ZOLTOV_DEADLOCK=fail).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "CZolEvent.h"
#include "CZolMutex.h"
#include "ZolTestSupport.h"
#include "qelStore.h"
#include "qelTesting.h"

#ifdef ZOL_TOOL_PATH

namespace {

// A peer process that runs the commands it is sent: "hold M" opens mutex M, "lock M" and "wait M"
// lock it (answering "ok" or "failed" once the lock returns), "event E" opens event E, "any E F"
// waits for either, "fail" sets ZOLTOV_DEADLOCK=fail, "stop M" takes M's table lock and stops.
int runCommands(zoltest::Peer& peer, const std::string& errorFile) {
    int err = open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err, 2);
    std::map<std::string, std::unique_ptr<CZolMutex>> mutexes;
    std::map<std::string, std::unique_ptr<CZolEvent>> events;
    for (;;) {
        std::istringstream words(peer.receive(60000));
        std::string command, a, b;
        words >> command >> a >> b;
        std::string answer = "ok";
        if (command == "hold" || command == "lock" || command == "wait") {
            auto& mutex = mutexes[a];
            if (!mutex) {
                mutex.reset(new CZolMutex(0, a.c_str(), 0));
            }
            answer = command == "hold" || mutex->Lock(0xFFFFFFFF) ? "ok" : "failed";
        } else if (command == "event") {
            events[a].reset(new CZolEvent(0, 0, a.c_str()));
        } else if (command == "any") {
            CZolEvent* either[] = {events[a].get(), events[b].get()};
            answer = std::to_string(SyncWaitForMultipleEventsPtr(2, either, 0xFFFFFFFF));
        } else if (command == "fail") {
            setenv("ZOLTOV_DEADLOCK", "fail", 1);
        } else if (command == "stop") {
            const std::string file = std::string(qelTestObjectDirectory()) + "/" +
                                     qel::encodeName(qel::ObjectType::Mutex, a.c_str());
            int fd = open(file.c_str(), O_RDWR);
            auto* map = static_cast<unsigned char*>(
                mmap(nullptr, qel::kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
            pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(map + qel::kTableLockOffset));
            raise(SIGSTOP);
        } else {
            return 0;
        }
        peer.send(answer);
    }
}

char stateOf(pid_t pid) {
    std::string stat = zoltest::readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() ? stat[end + 2] : '?';
}

struct Scenario {
    const char* what;
    // "K COMMAND [ARGS]" for peer K (names get the scenario's prefix); "wait", "any" and "stop"
    // block, "K kill" kills peer K once the tool shows it waiting; "=ANSWER" ends a step whose
    // answer is not "ok".
    std::vector<std::string> steps;
    std::vector<std::string> args;  // the tool's, after "locks --name {n}*"
    int exitCode;
    // Pieces of the tool's output ("-" first: must not be there; "K> ": of peer K's standard
    // error). {K} stands for peer K's pid, {n} for the names' prefix.
    std::vector<std::string> expect;
    // Found only where a process's threads are all the program's: not under ThreadSanitizer,
    // whose own thread in every process could still set an event.
    bool countsThreads = false;
};

const Scenario kScenarios[] = {
    {"an owner, its depth and two waiters",
     {"0 lock a", "0 lock a", "1 wait a", "2 wait a"},
     {},
     0,
     {"mutex '{n}a': held by pid {0} tid {0} (", "depth 2; open in 3 processes",
      "  waiting: pid {1} tid {1} (", "  waiting: pid {2} tid {2} (", "-deadlock"}},
    {"a mutex whose owner died holding it",
     {"0 lock a", "1 hold a", "0 kill"},
     {"--json"},
     0,
     {"\"name\":\"{n}a\"", "\"owner\":null,\"depth\":0,\"abandoned\":true", "\"deadlocks\":[]"}},
    {"two processes, each waiting for the other's mutex",
     {"0 lock a", "1 lock b", "0 wait b", "1 wait a"},
     {},
     4,
     {"deadlock:\n  pid {0} tid {0} (", ") waits for mutex '{n}b', held by pid {1} tid {1} (",
      ") waits for mutex '{n}a', held by pid {0} tid {0} ("}},
    {"three processes in a ring",
     {"0 lock a", "1 lock b", "2 lock c", "0 wait b", "1 wait c", "2 wait a"},
     {},
     4,
     {"waits for mutex '{n}b', held by pid {1}", "waits for mutex '{n}c', held by pid {2}",
      "waits for mutex '{n}a', held by pid {0}"}},
    {"a ring through a wait for any of two events",
     {"0 event e", "0 event f", "1 event e", "1 event f", "0 lock m", "1 wait m", "0 any e f"},
     {},
     4,
     {"event '{n}e': not set, auto-reset; open in 2 processes\n  waiting: pid {0}",
      "pid {0} tid {0} (", ") waits for any of events '{n}e', '{n}f', open only in pid ",
      "waits for mutex '{n}m', held by pid {0} tid {0}"},
     true},
    {"no ring while a process that has one of the events open runs",
     {"0 event e", "0 event f", "1 event e", "1 event f", "2 event e", "0 lock m", "1 wait m",
      "0 any e f"},
     {},
     0,
     {"waiting: pid {0} tid {0}", "-deadlock"}},
    {"processes that only wait for events they alone have open: another may open one later",
     {"0 event e", "1 event e", "0 any e e", "1 any e e"},
     {},
     0,
     {"waiting: pid {0} tid {0}", "waiting: pid {1} tid {1}", "-deadlock"}},
    {"a waiter killed while waiting is gone",
     {"0 lock a", "1 wait a", "2 wait a", "2 kill"},
     {"--pid", "{1}"},
     0,
     {"waiting: pid {1} tid {1}", "-pid {2}"}},
    {"an owner stopped holding the table lock does not hold the tool up",
     {"0 lock a", "1 wait a", "0 stop a"},
     {},
     0,
     {"held by pid {0} tid {0}", "waiting: pid {1} tid {1}"}},
    {"ZOLTOV_DEADLOCK=fail: the lock that closes the ring fails, and says why",
     {"1 fail", "0 lock a", "1 lock b", "0 wait b", "1 lock a =failed"},
     {},
     0,
     {"1> zoltov: deadlock: this wait would never end:\n  pid ",
      "1> waits for mutex '{n}a', held by pid {0} tid {0}", "1> the wait fails instead",
      "held by pid {0}"}},
};

TEST(ZoltovLocks, ListsOwnersWaitersAndDeadlocksOfRealProcesses) {
    zoltest::TempDir dir;
    for (const Scenario& s : kScenarios) {
        SCOPED_TRACE(s.what);
#if defined(__SANITIZE_THREAD__)
        if (s.countsThreads) {
            continue;
        }
#endif
        const std::string prefix = zoltest::uniqueName("lk") + "-";
        std::vector<std::unique_ptr<zoltest::Peer>> peers;
        std::vector<pid_t> pids;  // kept: a killed peer forgets its pid
        auto fill = [&](std::string text) {
            for (size_t at; (at = text.find("{n}")) != std::string::npos;) {
                text.replace(at, 3, prefix);
            }
            for (size_t k = 0; k < pids.size(); ++k) {
                const std::string mark = "{" + std::to_string(k) + "}",
                                  pid = std::to_string(pids[k]);
                for (size_t at; (at = text.find(mark)) != std::string::npos;) {
                    text.replace(at, mark.size(), pid);
                }
            }
            return text;
        };
        std::vector<std::string> args = {"locks", "--name", prefix + "*"};
        auto tool = [&] { return zoltest::runProgram(ZOL_TOOL_PATH, args, {}, 30000); };
        auto showsWaiting = [&](size_t k) {
            return zoltest::waitUntil(
                [&] {
                    return tool().out.find(fill("waiting: pid {" + std::to_string(k) + "}")) !=
                           std::string::npos;
                },
                zoltest::kBoundMs);
        };
        for (const std::string& step : s.steps) {
            const size_t equals = step.find('=');
            const std::string answer = equals != std::string::npos ? step.substr(equals + 1) : "ok";
            std::istringstream words(step.substr(0, equals));
            size_t k;
            std::string command, a, b;
            words >> k >> command >> a >> b;
            while (peers.size() <= k) {
                const std::string err = dir.path() + "/" + std::to_string(peers.size());
                peers.emplace_back(
                    new zoltest::Peer([err](zoltest::Peer& p) { return runCommands(p, err); }));
                pids.push_back(peers.back()->pid());
            }
            if (command == "kill") {
                peers[k]->kill();
                continue;
            }
            peers[k]->send(command + " " + (a.empty() ? "" : prefix + a) + " " +
                           (b.empty() ? "" : prefix + b));
            if (command == "wait" || command == "any") {
                ASSERT_TRUE(showsWaiting(k));
            } else if (command == "stop") {
                ASSERT_TRUE(
                    zoltest::waitUntil([&] { return stateOf(pids[k]) == 'T'; }, zoltest::kBoundMs));
            } else {
                ASSERT_EQ(peers[k]->receive(), answer) << step;
            }
        }
        for (const std::string& arg : s.args) {
            args.push_back(fill(arg));
        }
        const auto start = std::chrono::steady_clock::now();
        const zoltest::ProgramResult r = tool();
        EXPECT_LT(zoltest::elapsedMs(start), 4000);
        EXPECT_EQ(r.exitCode, s.exitCode) << r.err;
        for (const std::string& piece : s.expect) {
            const bool absent = piece[0] == '-';
            const bool ofPeer = piece.size() > 2 && piece.compare(1, 2, "> ") == 0;
            const std::string text = fill(piece.substr(absent ? 1 : ofPeer ? 3 : 0));
            const std::string seen =
                ofPeer ? zoltest::readFile(dir.path() + "/" + piece.substr(0, 1)) : r.out;
            EXPECT_EQ(seen.find(text) == std::string::npos, absent) << text << "\nin:\n" << seen;
        }
    }
    zoltest::runProgram(ZOL_TOOL_PATH, {"locks"});  // alone now, it sweeps what the peers left
}

}  // namespace

#endif  // ZOL_TOOL_PATH
