// Two processes take two named mutexes in opposite orders: a deadlock waiting to happen.
// Run without arguments, the program asks the library to check its waits
// (ZOLTOV_DEADLOCK=fail): the lock that would close the cycle fails, its process lets go of
// what it holds, and both finish. Run as `locks hang`, both processes wait for ever, and
// `zoltov locks` in another terminal names the cycle.
#include <sys/wait.h>
#include <unistd.h>
#include <zoltov/zoltov.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    const bool hang = argc > 1 && std::strcmp(argv[1], "hang") == 0;
    if (!hang) {
        setenv("ZOLTOV_DEADLOCK", "fail", 1);  // read at the first wait that blocks
    }
    const std::string tag = std::to_string(getpid());
    const pid_t child = fork();
    const bool parent = child != 0;
    const std::string first = parent ? "accounts-" + tag : "ledger-" + tag;
    const std::string second = parent ? "ledger-" + tag : "accounts-" + tag;
    bool both = false;
    {
        CZolMutex a(0, first.c_str(), 0), b(0, second.c_str(), 0);
        CZolEvent mine(0, 1, ((parent ? "parent-" : "child-") + tag).c_str());
        CZolEvent theirs(0, 1, ((parent ? "child-" : "parent-") + tag).c_str());
        a.Lock(0xFFFFFFFF);
        mine.SetEvent();
        theirs.Lock(0xFFFFFFFF);  // both now hold their first mutex
        both = b.Lock(0xFFFFFFFF) == 1;
        std::printf("%s: %s\n", parent ? "parent" : "child",
                    both ? "took both mutexes" : "the second lock failed: it closed a cycle");
        if (both) {
            b.Unlock();
        }
        a.Unlock();
    }
    if (!parent) {
        return 0;
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
