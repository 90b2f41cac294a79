// A plug-in host's use of the library: load it with dlopen, start a thread, unload it with
// dlclose, 100 times over. This program does not link libzoltov.so: it takes the functions
// it calls from dlsym, so each dlopen is the only load.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "CZolThread.h"

namespace {

std::vector<int> handledRealtimeSignals() {
    std::vector<int> handled;
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
        struct sigaction action;
        if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_DFL)
            handled.push_back(signal);
    }
    return handled;
}

// The threads of this process: /proc gives the task directory two links plus one per thread.
nlink_t threads() {
    struct stat st;
    return stat("/proc/self/task", &st) == 0 ? st.st_nlink - 2 : 0;
}

// Every load starts a thread that ends at once (its base Run finds m_bExit set), waits for its
// end and releases it. Loads after the first find the library still there: it takes one
// suspend signal in all, and a late suspend signal after the last dlclose finds its handler.
TEST(Unload, HundredLoadsWithAThreadEachTakeOneSignalAndLeaveNoHandlerUnmapped) {
    const std::vector<int> before = handledRealtimeSignals();
    const nlink_t alone = threads();
    for (int cycle = 0; cycle < 100; ++cycle) {
        void* library = dlopen(ZOL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        using Call = void (*)(CZolThread*);
        auto construct = reinterpret_cast<Call>(dlsym(library, "_ZN10CZolThreadC1Ev"));
        auto destroy = reinterpret_cast<Call>(dlsym(library, "_ZN10CZolThreadD1Ev"));
        auto create = reinterpret_cast<int (*)(CZolThread*, unsigned int)>(
            dlsym(library, "_ZN10CZolThread12CreateThreadEj"));
        ASSERT_TRUE(construct != nullptr && destroy != nullptr && create != nullptr);
        alignas(CZolThread) unsigned char storage[sizeof(CZolThread)];
        auto* thread = reinterpret_cast<CZolThread*>(storage);
        construct(thread);
        thread->m_bAutoDelete = 0;
        thread->m_bExit = 1;
        ASSERT_EQ(create(thread, 0), 1) << "cycle " << cycle;
        for (int ms = 0; threads() != alone && ms < 10000; ++ms)
            usleep(1000);
        ASSERT_EQ(threads(), alone) << "cycle " << cycle;
        destroy(thread);
        ASSERT_EQ(dlclose(library), 0);
    }
    std::vector<int> taken = handledRealtimeSignals();
    for (int signal : before)
        taken.erase(std::remove(taken.begin(), taken.end(), signal), taken.end());
    EXPECT_EQ(taken.size(), 1u);
    for (int signal : taken)
        raise(signal);
}

}  // namespace
