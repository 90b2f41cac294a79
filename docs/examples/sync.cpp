// A worker thread and the main thread share a total under a read-write lock; an event
// tells the main thread that the worker is done, and a wait with a time-out shows the
// other outcome.
#include <zoltov/zoltov.h>

#include <cstdio>

namespace {
CZolRWLock g_lock;                // many readers, or one writer
long g_total = 0;                 // guarded by g_lock
CZolEvent g_done(0, 1, nullptr);  // manual reset: stays set once set

class Adder : public CZolThread {
    unsigned int Run() override {
        for (int i = 1; i <= 1000; ++i) {
            CZolRWLocker writer(g_lock, 1);  // write lock until the end of the scope
            g_total += i;
        }
        g_done.SetEvent();
        return 0;
    }
};
}  // namespace

int main() {
    CZolEvent never(0, 0, nullptr);
    if (SyncWaitForSingleEvent(never, 20) != kZolWaitTimeout) {  // nobody sets it: 258
        return 1;
    }
    // The thread object deletes itself when its thread ends (m_bAutoDelete): use new.
    if (!(new Adder)->CreateThread(0) || SyncWaitForSingleEvent(g_done, 10000) != kZolWaitObject0) {
        return 1;
    }
    CZolRWLocker reader(g_lock, 0);  // a read lock: other readers may hold it too
    std::printf("total %ld\n", g_total);
    return g_total == 500500 ? 0 : 1;
}
