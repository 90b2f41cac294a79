// The wait-for graph of a snapshot (qelLocks.h), its deadlocks and how they read, and the check
// a process may ask for at each blocking wait on a named object (ZOLTOV_DEADLOCK).
//
// A waiting thread is stuck when every object it waits for (a wait-any leaves on any one) can
// only be released by stuck threads: a locked mutex by its owner, an event that is not set by
// the threads of the processes that have it open, when every one of their threads waits. The
// stuck threads are the greatest set closed under that rule, found by taking out, until none
// is left to take, each thread with an object that a thread outside the set may release.
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "qelLocks.h"
#include "qelWaitBoard.h"

namespace qel {
namespace locks {
namespace {

// One object of a waiting thread's wait, and the waiting threads that alone can release it.
struct Alternative {
    size_t object;
    bool mutex;
    std::vector<size_t> by;
};

std::string quoted(const Object& o) {
    return "'" + escapeName(o.named ? o.name : o.path) + "'";
}

}  // namespace

std::vector<Cycle> findDeadlocks(const Snapshot& snapshot) {
    const std::vector<Waiting>& waiting = snapshot.waiting;
    const size_t n = waiting.size();
    std::map<int, size_t> byTid;
    std::map<int, unsigned> waitingIn;  // waiting threads per process
    for (size_t i = 0; i < n; ++i) {
        byTid[waiting[i].thread.tid] = i;
        ++waitingIn[waiting[i].thread.pid];
    }
    std::vector<std::vector<Alternative>> alternatives(n);
    std::vector<bool> stuck(n, true);
    for (size_t t = 0; t < n; ++t) {
        for (size_t o : waiting[t].objects) {
            const Object& object = snapshot.objects[o];
            Alternative a{o, object.type == ObjectType::Mutex, {}};
            if (a.mutex && object.locked && !object.abandoned && object.owner.pid != 0) {
                auto owner = byTid.find(object.owner.tid);
                if (owner != byTid.end() && owner->second != t &&
                    waiting[owner->second].thread.pid == object.owner.pid) {
                    a.by.push_back(owner->second);
                }
            } else if (!a.mutex && !object.set) {
                bool allWait = !object.holders.empty();
                for (const Holder& h : object.holders) {
                    allWait = allWait && h.threads != 0 && waitingIn[h.process.pid] >= h.threads;
                }
                for (size_t i = 0; allWait && i < n; ++i) {
                    for (const Holder& h : object.holders) {
                        if (waiting[i].thread.pid == h.process.pid) {
                            a.by.push_back(i);
                        }
                    }
                }
            }
            stuck[t] = stuck[t] && !a.by.empty() && !waiting[t].partial;
            alternatives[t].push_back(std::move(a));
        }
    }
    for (bool changed = true; changed;) {
        changed = false;
        for (size_t t = 0; t < n; ++t) {
            for (const Alternative& a : alternatives[t]) {
                const bool blocked =
                    std::all_of(a.by.begin(), a.by.end(), [&](size_t b) { return stuck[b]; });
                if (stuck[t] && !blocked) {
                    stuck[t] = false;
                    changed = true;
                }
            }
        }
    }
    // From each stuck thread, follow one releaser (a mutex's owner first, another thread than
    // itself where it can) until a thread comes back: that loop is a cycle.
    auto nextOf = [&](size_t t, bool* mutex) {
        for (const Alternative& a : alternatives[t]) {
            if (a.mutex) {
                *mutex = true;
                return a.by.front();
            }
        }
        *mutex = false;
        const std::vector<size_t>& by = alternatives[t].front().by;
        auto other = std::find_if(by.begin(), by.end(), [t](size_t b) { return b != t; });
        return other != by.end() ? *other : t;
    };
    std::vector<Cycle> cycles;
    std::vector<int> state(n, 0);  // 0 not seen, 1 on the path followed now, 2 done
    for (size_t start = 0; start < n; ++start) {
        if (!stuck[start] || state[start] != 0) {
            continue;
        }
        std::vector<Step> path;
        std::vector<bool> throughMutex;
        size_t t = start;
        while (state[t] == 0) {
            state[t] = 1;
            bool mutex = false;
            const size_t next = nextOf(t, &mutex);
            Step step{t, next, {}};
            for (const Alternative& a : alternatives[t]) {
                if (a.mutex == mutex && (!mutex || a.by.front() == next)) {
                    step.objects.push_back(a.object);
                }
            }
            path.push_back(step);
            throughMutex.push_back(mutex);
            t = next;
        }
        if (state[t] == 1) {
            size_t first = 0;
            while (path[first].waiter != t) {
                ++first;
            }
            if (std::find(throughMutex.begin() + first, throughMutex.end(), true) !=
                throughMutex.end()) {
                Cycle cycle(path.begin() + first, path.end());
                // Told from its lowest thread, so that the same cycle reads the same each time.
                std::rotate(cycle.begin(),
                            std::min_element(cycle.begin(), cycle.end(),
                                             [&](const Step& a, const Step& b) {
                                                 const Thread& x = waiting[a.waiter].thread;
                                                 const Thread& y = waiting[b.waiter].thread;
                                                 return x.pid != y.pid ? x.pid < y.pid
                                                                       : x.tid < y.tid;
                                             }),
                            cycle.end());
                cycles.push_back(std::move(cycle));
            }
        }
        for (const Step& step : path) {
            state[step.waiter] = 2;
        }
    }
    return cycles;
}

std::string escapeName(const std::string& name) {
    std::string out;
    for (unsigned char ch : name) {
        if (ch == '\\') {
            out += "\\\\";
        } else if (ch == '\n') {
            out += "\\n";
        } else if (ch == '\t') {
            out += "\\t";
        } else if (ch < 0x20 || ch >= 0x7f) {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02x", ch);
            out += hex;
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out;
}

std::string describeThread(const Thread& thread) {
    std::string text = thread.pid != 0 ? "pid " + std::to_string(thread.pid) + " " : "";
    text += "tid " + std::to_string(thread.tid);
    return thread.command.empty() ? text : text + " (" + escapeName(thread.command) + ")";
}

std::string describeStep(const Snapshot& snapshot, const Step& step) {
    const Object& first = snapshot.objects[step.objects.front()];
    std::string text = describeThread(snapshot.waiting[step.waiter].thread) + " waits for ";
    if (first.type == ObjectType::Mutex) {
        return text + "mutex " + quoted(first) + ", held by " + describeThread(first.owner);
    }
    text += step.objects.size() == 1 ? "event " : "any of events ";
    for (size_t i = 0; i < step.objects.size(); ++i) {
        text += (i != 0 ? ", " : "") + quoted(snapshot.objects[step.objects[i]]);
    }
    std::map<int, std::string> processes;  // every process that has one of them open
    for (size_t o : step.objects) {
        for (const Holder& h : snapshot.objects[o].holders) {
            processes[h.process.pid] = h.process.command;
        }
    }
    text += ", open only in ";
    for (const auto& process : processes) {
        text += (text.back() != ' ' ? ", pid " : "pid ") + std::to_string(process.first) +
                (process.second.empty() ? "" : " (" + escapeName(process.second) + ")");
    }
    return text + ", whose threads all wait";
}

}  // namespace locks

namespace waits {
namespace {

enum class CheckMode { Off, Report, Fail };

constexpr long kCheckBoundMs = 1000;
// A snapshot is read piece by piece: a cycle seen in one must still be there this much later.
constexpr long kConfirmDelayMs = 20;

pid_t g_modeOf = 0;  // __atomic: the process whose environment g_mode was read in
int g_mode = 0;

CheckMode checkMode() {
    const pid_t pid = ownPid();
    if (__atomic_load_n(&g_modeOf, __ATOMIC_ACQUIRE) != pid) {
        const char* value = getenv("ZOLTOV_DEADLOCK");
        const CheckMode mode = value == nullptr               ? CheckMode::Off
                               : strcmp(value, "report") == 0 ? CheckMode::Report
                               : strcmp(value, "fail") == 0   ? CheckMode::Fail
                                                              : CheckMode::Off;
        __atomic_store_n(&g_mode, static_cast<int>(mode), __ATOMIC_RELAXED);
        __atomic_store_n(&g_modeOf, pid, __ATOMIC_RELEASE);
    }
    return static_cast<CheckMode>(__atomic_load_n(&g_mode, __ATOMIC_RELAXED));
}

// The cycle of a fresh snapshot that the calling thread is on; false when there is none.
bool ownCycle(locks::Snapshot* snapshot, locks::Cycle* cycle) {
    std::string problem;
    if (!locks::readSnapshot(kCheckBoundMs, snapshot, &problem)) {
        return false;
    }
    for (const locks::Cycle& c : locks::findDeadlocks(*snapshot)) {
        for (const locks::Step& step : c) {
            const locks::Thread& thread = snapshot->waiting[step.waiter].thread;
            if (thread.pid == ownPid() && thread.tid == currentTid()) {
                *cycle = c;
                return true;
            }
        }
    }
    return false;
}

}  // namespace

__attribute__((noinline, cold)) bool failsForDeadlock() {
    const CheckMode mode = checkMode();
    locks::Snapshot snapshot;
    locks::Cycle cycle;
    if (mode == CheckMode::Off || !ownCycle(&snapshot, &cycle)) {
        return false;
    }
    const timespec pause = {0, kConfirmDelayMs * 1000000L};
    nanosleep(&pause, nullptr);
    if (!ownCycle(&snapshot, &cycle)) {
        return false;
    }
    std::string text = "zoltov: deadlock: this wait would never end:\n";
    for (const locks::Step& step : cycle) {
        text += "  " + locks::describeStep(snapshot, step) + "\n";
    }
    if (mode == CheckMode::Fail) {
        text += "zoltov: the wait fails instead (ZOLTOV_DEADLOCK=fail)\n";
    }
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    return mode == CheckMode::Fail;
}

}  // namespace waits
}  // namespace qel
