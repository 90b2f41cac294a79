// A plug-in host's use of the library: load it with dlopen, start a thread, unload it with
// dlclose, 100 times over. This program does not link libzoltov.so: it takes the functions
// it calls from dlsym, so each dlopen is the only load.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "CZolThread.h"

// The threads of this process: /proc gives the task directory two links plus one per thread.
nlink_t threads() {
    struct stat st;
    return stat("/proc/self/task", &st) == 0 ? st.st_nlink - 2 : 0;
}

// Each load starts a thread that ends at once (its base Run finds m_bExit set), waits for its
// end and releases it. The loads after the first find the library still there, so it holds
// one real-time signal in all (the suspend signal), whose handler is still there when the
// signal comes after the last dlclose.
TEST(Unload, HundredLoadsWithAThreadEachTakeOneSignalAndLeaveNoHandlerUnmapped) {
    using Call = void (*)(CZolThread*);
    std::thread([] {}).join();  // a sanitizer's runtime starts its own thread with the first
    const nlink_t alone = threads();
    for (int cycle = 0; cycle < 100; ++cycle) {
        void* library = dlopen(ZOL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        alignas(CZolThread) unsigned char storage[sizeof(CZolThread)];
        auto* thread = reinterpret_cast<CZolThread*>(storage);
        reinterpret_cast<Call>(dlsym(library, "_ZN10CZolThreadC1Ev"))(thread);
        thread->m_bAutoDelete = 0, thread->m_bExit = 1;
        auto create = reinterpret_cast<int (*)(CZolThread*, unsigned int)>(
            dlsym(library, "_ZN10CZolThread12CreateThreadEj"));
        ASSERT_EQ(create(thread, 0), 1) << "cycle " << cycle;
        for (int ms = 0; threads() != alone && ms < 10000; ++ms)
            usleep(1000);
        reinterpret_cast<Call>(dlsym(library, "_ZN10CZolThreadD1Ev"))(thread);
        ASSERT_EQ(dlclose(library), 0);
    }
    int handled = 0;
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
        struct sigaction action;
        if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_DFL)
            handled += 1 + raise(signal);
    }
    EXPECT_EQ(handled, 1);
}
