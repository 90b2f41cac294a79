// zoltov locks [--name PATTERN] [--pid PID] [--json] [--watch] [--interval SECONDS]: every named
// mutex with its owner and waiters, every named event with its state and waiters, every segment
// with its users, and the deadlocks among them (exit status 4), read by the platform layer
// without waiting for any other process.
#include <fnmatch.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ZolTool.h"
#include "qelLocks.h"
#include "qelWaitBoard.h"

namespace zoltool {

namespace {

using qel::ObjectType;
using namespace qel::locks;

// How long one look reads the store at most; what is left is listed as not read.
constexpr long kReadBoundMs = 2000;

volatile sig_atomic_t g_interrupted = 0;

void onInterrupt(int) {
    g_interrupted = 1;
}

struct Filter {
    std::string pattern;  // a glob on names, "" for all
    int pid = 0;          // 0 for all
};

std::string nameOf(const Object& o) {
    return o.named ? o.name : o.path;
}

bool involves(const Object& o, int pid) {
    bool found = o.owner.pid == pid;
    for (const Holder& h : o.holders) {
        found = found || h.process.pid == pid;
    }
    for (const Waiter& w : o.waiters) {
        found = found || w.thread.pid == pid;
    }
    return found;
}

bool shown(const Object& o, const Filter& f) {
    return (f.pattern.empty() || fnmatch(f.pattern.c_str(), nameOf(o).c_str(), 0) == 0) &&
           (f.pid == 0 || involves(o, f.pid));
}

// A deadlock is shown when one of its objects matches the name and one of its threads the pid.
bool shown(const Snapshot& s, const Cycle& cycle, const Filter& f) {
    bool named = f.pattern.empty(), pid = f.pid == 0;
    for (const Step& step : cycle) {
        pid = pid || f.pid == s.waiting[step.waiter].thread.pid;
        for (size_t o : step.objects) {
            named = named || fnmatch(f.pattern.c_str(), nameOf(s.objects[o]).c_str(), 0) == 0;
        }
    }
    return named && pid;
}

const char* kindName(ObjectType type) {
    return type == ObjectType::Mutex ? "mutex" : type == ObjectType::Event ? "event" : "segment";
}

const char* modeName(unsigned modes) {
    return modes == qel::waits::kModeAuto     ? "auto-reset"
           : modes == qel::waits::kModeManual ? "manual-reset"
           : modes != 0                       ? "auto- and manual-reset waits"
                                              : "reset mode not seen yet";
}

std::string plural(size_t n, const std::string& one) {
    return std::to_string(n) + " " + one + (n == 1 ? "" : one.back() == 's' ? "es" : "s");
}

// ---- text ----

std::string since(uint64_t sinceNs, uint64_t nowNs) {
    const time_t seconds = static_cast<time_t>(sinceNs / 1000000000u);
    struct tm local;
    char clock[16] = "?";
    if (localtime_r(&seconds, &local) != nullptr) {
        strftime(clock, sizeof clock, "%H:%M:%S", &local);
    }
    char text[64];
    const double waited = nowNs > sinceNs ? static_cast<double>(nowNs - sinceNs) / 1e9 : 0.0;
    std::snprintf(text, sizeof text, "since %s (%.1f s)", clock, waited);
    return text;
}

void printText(const Snapshot& s, const std::vector<Cycle>& cycles, const Filter& f) {
    size_t count = 0;
    for (const Object& o : s.objects) {
        if (!shown(o, f)) {
            continue;
        }
        ++count;
        std::string state;
        if (o.type == ObjectType::Mutex) {
            state =
                o.abandoned ? "abandoned: its owner died holding it; the next lock takes it over"
                : o.locked
                    ? "held by " + describeThread(o.owner) + ", depth " + std::to_string(o.depth)
                    : "free";
            state += "; open in " + plural(o.holders.size(), "process");
        } else if (o.type == ObjectType::Event) {
            state = std::string(o.set ? "set" : "not set") + ", " + modeName(o.modes) +
                    "; open in " + plural(o.holders.size(), "process");
        } else {
            state = plural(o.connections, "connection") + ", " +
                    std::to_string(o.size >= 4 ? o.size - 4 : 0) + " bytes of data";
        }
        std::printf("%s '%s': %s\n", kindName(o.type), escapeName(nameOf(o)).c_str(),
                    state.c_str());
        for (const Waiter& w : o.waiters) {
            std::printf("  waiting: %s %s\n", describeThread(w.thread).c_str(),
                        since(w.sinceNs, s.takenNs).c_str());
        }
        for (const Holder& h : o.type == ObjectType::Segment ? o.holders : std::vector<Holder>{}) {
            std::printf("  used by: pid %d (%s), %s\n", h.process.pid,
                        escapeName(h.process.command).c_str(),
                        plural(h.connections, "connection").c_str());
        }
    }
    if (count == 0) {
        std::printf("no named mutex, event or segment%s\n",
                    f.pattern.empty() && f.pid == 0 ? "" : " matches");
    }
    for (const Cycle& cycle : cycles) {
        std::printf("deadlock:\n");
        for (const Step& step : cycle) {
            std::printf("  %s\n", describeStep(s, step).c_str());
        }
    }
    if (!s.unread.empty()) {
        std::printf("not read:\n");
        for (const std::string& line : s.unread) {
            std::printf("  %s\n", escapeName(line).c_str());
        }
    }
}

// ---- JSON: names are byte strings, so every byte outside printable ASCII is \u00XX ----

std::string json(const std::string& text) {
    std::string out = "\"";
    for (unsigned char ch : text) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch < 0x20 || ch >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", ch);
            out += hex;
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out + "\"";
}

std::string json(const Thread& t) {
    return "{\"pid\":" + std::to_string(t.pid) + ",\"tid\":" + std::to_string(t.tid) +
           ",\"command\":" + json(t.command) + "}";
}

template <typename T, typename Each>
std::string jsonList(const std::vector<T>& items, Each each) {
    std::string out = "[";
    for (const T& item : items) {
        out += (out.size() > 1 ? "," : "") + each(item);
    }
    return out + "]";
}

std::string json(const Object& o, uint64_t nowNs) {
    std::string out = "{\"kind\":\"" + std::string(kindName(o.type)) +
                      "\",\"name\":" + (o.named ? json(o.name) : "null") +
                      ",\"path\":" + json(o.path);
    out += ",\"processes\":" + jsonList(o.holders, [](const Holder& h) {
               return "{\"pid\":" + std::to_string(h.process.pid) +
                      ",\"command\":" + json(h.process.command) +
                      ",\"handles\":" + std::to_string(h.handles) +
                      ",\"connections\":" + std::to_string(h.connections) + "}";
           });
    if (o.type == ObjectType::Mutex) {
        out += ",\"owner\":" + (o.locked ? json(o.owner) : "null") +
               ",\"depth\":" + std::to_string(o.depth) +
               ",\"abandoned\":" + (o.abandoned ? "true" : "false");
    } else if (o.type == ObjectType::Event) {
        out += ",\"set\":" + std::string(o.set ? "true" : "false") + ",\"reset\":" +
               (o.modes == qel::waits::kModeAuto     ? "\"auto\""
                : o.modes == qel::waits::kModeManual ? "\"manual\""
                : o.modes != 0                       ? "\"both\""
                                                     : "null");
    } else {
        out += ",\"size\":" + std::to_string(o.size >= 4 ? o.size - 4 : 0) +
               ",\"connections\":" + std::to_string(o.connections);
    }
    out +=
        ",\"waiters\":" + jsonList(o.waiters, [nowNs](const Waiter& w) {
            char times[96];
            std::snprintf(times, sizeof times, ",\"since\":%.3f,\"waited_ms\":%llu,\"resets\":%s}",
                          static_cast<double>(w.sinceNs) / 1e9,
                          static_cast<unsigned long long>(
                              nowNs > w.sinceNs ? (nowNs - w.sinceNs) / 1000000u : 0),
                          w.resets ? "true" : "false");
            const std::string thread = json(w.thread);
            return thread.substr(0, thread.size() - 1) + times;
        });
    return out + "}";
}

void printJson(const Snapshot& s, const std::vector<Cycle>& cycles, const Filter& f) {
    std::vector<Object> objects;
    for (const Object& o : s.objects) {
        if (shown(o, f)) {
            objects.push_back(o);
        }
    }
    std::string out =
        "{\"objects\":" + jsonList(objects, [&s](const Object& o) { return json(o, s.takenNs); });
    out += ",\"deadlocks\":" + jsonList(cycles, [&s](const Cycle& cycle) {
               return jsonList(cycle, [&s](const Step& step) {
                   std::vector<size_t> objects = step.objects;
                   return "{\"waiter\":" + json(s.waiting[step.waiter].thread) + ",\"waits_for\":" +
                          jsonList(objects,
                                   [&s](size_t o) {
                                       return "{\"kind\":\"" +
                                              std::string(kindName(s.objects[o].type)) +
                                              "\",\"name\":" + json(nameOf(s.objects[o])) + "}";
                                   }) +
                          ",\"released_by\":" + json(s.waiting[step.next].thread) + "}";
               });
           });
    out +=
        ",\"not_read\":" + jsonList(s.unread, [](const std::string& line) { return json(line); });
    std::printf("%s}\n", out.c_str());
}

// One look: reads, prints, and returns the exit status.
int look(const Filter& f, bool asJson) {
    Snapshot s;
    std::string problem;
    if (!readSnapshot(kReadBoundMs, &s, &problem)) {
        return fail(kExitFailed, problem);
    }
    std::vector<Cycle> cycles;
    for (const Cycle& cycle : findDeadlocks(s)) {
        if (shown(s, cycle, f)) {
            cycles.push_back(cycle);
        }
    }
    asJson ? printJson(s, cycles, f) : printText(s, cycles, f);
    return cycles.empty() ? kExitOk : kExitDeadlock;
}

bool parseNumber(const std::string& text, long low, long high, long* value) {
    char* end = nullptr;
    *value = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && *value >= low && *value <= high;
}

}  // namespace

int runLocks(const Invocation& in) {
    Filter f;
    long number = 0;
    if (in.has("name")) {
        f.pattern = in.options.at("name");
    }
    if (in.has("pid")) {
        if (!parseNumber(in.options.at("pid"), 1, 0x7fffffff, &number)) {
            return fail(kExitUsage, "'" + escaped(in.options.at("pid")) + "' is not a pid");
        }
        f.pid = static_cast<int>(number);
    }
    long interval = 2;
    if (in.has("interval") && !parseNumber(in.options.at("interval"), 1, 3600, &interval)) {
        return fail(kExitUsage, "the interval must be 1 to 3600 seconds");
    }
    const bool asJson = in.has("json");
    if (!in.has("watch")) {
        return look(f, asJson);
    }
    // Refreshed until interrupted; the interrupt ends the loop, so the store is left as a
    // normal exit leaves it.
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    const bool terminal = isatty(STDOUT_FILENO) != 0;
    int status = kExitOk;
    while (!g_interrupted) {
        if (terminal && !asJson) {
            std::printf("\033[H\033[2J");
        }
        status = look(f, asJson);
        if (std::fflush(stdout) != 0) {
            break;
        }
        const timespec pause = {static_cast<time_t>(interval), 0};
        nanosleep(&pause, nullptr);
    }
    return status;
}

}  // namespace zoltool
