// Resources the system refuses: named mutexes and events created until no file descriptor is
// left end the process with the library's fatal message and status 1, never a crash; a thread
// the kernel refuses to start makes CreateThread return 0.
#include <dirent.h>
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../shm/ShmTestSupport.h"
#include "CZolEvent.h"
#include "CZolMutex.h"
#include "CZolThread.h"
#include "CZolTovEventLog.h"
#include "ZolTestSupport.h"

namespace {

constexpr int kBoundMs = 30000;
constexpr int kSpareDescriptors = 40;

// Objects the child keeps until it ends: reachable from a global, so that a leak checker
// running at exit does not count them.
std::vector<CZolSyncObject*>* g_kept = nullptr;
struct rlimit g_files;  // the child's limit on descriptors before the test lowered it

int highestOpenDescriptor() {
    int highest = 2;
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(fds)) {
            highest = std::max(highest, atoi(entry->d_name));
        }
        closedir(fds);
    }
    return highest;
}

// Makes the kernel refuse every new thread of this process with EAGAIN, as it does when
// the system is out of threads: clone3 (tried first by the C library) and clone with
// CLONE_THREAD. Unlike RLIMIT_NPROC this holds for root too. False when filters are refused.
bool refuseNewThreads() {
    struct sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone3, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAGAIN),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, CLONE_THREAD, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAGAIN),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

}  // namespace

TEST(Exhaustion, NamedObjectsBeyondTheDescriptorLimitEndWithTheFatalMessage) {
    struct Case {
        const char* kind;
        std::function<CZolSyncObject*(const char*)> create;
        const char* message;
    };
    const Case cases[] = {
        {"event", [](const char* name) { return new CZolEvent(0, 0, name); },
         "Unable to create event; possibly not root or insufficient resources\n"},
        {"mutex", [](const char* name) { return new CZolMutex(0, name, 0); },
         "Unable to create mutex; possibly not root or insufficient resources\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        const std::string prefix = zoltest::uniqueName(std::string("exhaust-") + c.kind);
        // How many objects the child made before the refusal, shared with this process.
        auto* created = static_cast<int*>(
            mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        ASSERT_NE(created, MAP_FAILED);
        *created = 0;
        zoltest::ChildOutput child = zoltest::runChildCapturingStdout(
            [&] {
                g_kept = new std::vector<CZolSyncObject*>;
                // UndefinedBehaviorSanitizer checks an object's type by probing its memory
                // through a pipe the first time, which a process out of descriptors cannot
                // open. The event log's check is made (and cached) here, before the limit;
                // the static destructors that run at exit get the descriptors back.
                CZolTovEventLog::m_ZolTovEventLog.registerSource();
                getrlimit(RLIMIT_NOFILE, &g_files);
                struct rlimit limit = g_files;
                limit.rlim_cur = static_cast<rlim_t>(highestOpenDescriptor() + kSpareDescriptors);
                if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
                    _exit(90);
                }
                atexit([] { setrlimit(RLIMIT_NOFILE, &g_files); });
                for (int i = 0; i < 100000; ++i) {
                    g_kept->push_back(c.create((prefix + "-" + std::to_string(i)).c_str()));
                    ++*created;
                }
                _exit(91);  // never refused
            },
            kBoundMs);
        EXPECT_EQ(zoltest::exitCodeOf(child.status), 1) << "wait status " << child.status;
        EXPECT_EQ(child.output, c.message);
        // Each named object holds a descriptor: the limit, not something else, refused.
        EXPECT_GT(*created, kSpareDescriptors / 2);
        munmap(created, sizeof(int));

        // The dead child's files are held by nobody: the last close of any named object of
        // the kind sweeps them away.
        delete c.create((prefix + "-sweep").c_str());
        EXPECT_EQ(shmtest::leftovers(prefix), std::vector<std::string>());
    }
}

TEST(Exhaustion, ThreadTheKernelRefusesMakesCreateThreadReturnZero) {
    struct Counted : CZolThread {
        int InitInstance() override {
            __atomic_add_fetch(&started, 1, __ATOMIC_RELAXED);
            return 0;
        }
        int started = 0;
    };
    constexpr int kNoFilter = 10;
    pid_t child = zoltest::forkChild([] {
        if (!refuseNewThreads()) {
            return kNoFilter;
        }
        Counted thread;
        thread.m_bAutoDelete = 0;
        // Plain, suspended and through ZolBeginThread: each is refused cleanly, and again.
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (thread.CreateThread(0) != 0 || thread.CreateThread(1) != 0) {
                return 2;
            }
            if (ZolBeginThread(&thread, 0, 0) != &thread) {
                return 3;
            }
        }
        return thread.m_hThread == 0 && __atomic_load_n(&thread.started, __ATOMIC_RELAXED) == 0 ? 0
                                                                                                : 4;
    });
    int code = zoltest::exitCodeOf(zoltest::waitChild(child, kBoundMs));
    if (code == kNoFilter) {
        GTEST_SKIP() << "this system refuses seccomp filters";
    }
    EXPECT_EQ(code, 0) << "2: CreateThread started a thread, 3: ZolBeginThread lost its "
                          "object, 4: a handle or a run was left behind, -1: crash or hang";
}
