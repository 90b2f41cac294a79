// A real CZolMutex that counts the Lock and Unlock calls reaching it, for tests of the
// classes that lock a mutex on a caller's behalf.
#ifndef ZOLTOV_TESTS_ZOLCOUNTINGMUTEX_H
#define ZOLTOV_TESTS_ZOLCOUNTINGMUTEX_H

#include <atomic>

#include "CZolMutex.h"

namespace zoltest {

struct CountingMutex : CZolMutex {
    std::atomic<int> locks{0};
    std::atomic<int> unlocks{0};
    // Unnamed; or the existing mutex called existingName (an unknown name gives a mutex whose
    // locks fail).
    explicit CountingMutex(const char* existingName = nullptr)
        : CZolMutex(0, existingName, existingName != nullptr ? 1 : 0) {}
    int Lock(long timeout) override {
        ++locks;
        return CZolMutex::Lock(timeout);
    }
    int Unlock() override {
        ++unlocks;
        return CZolMutex::Unlock();
    }
};

}  // namespace zoltest

#endif  // ZOLTOV_TESTS_ZOLCOUNTINGMUTEX_H
