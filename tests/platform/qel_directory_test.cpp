// The directory of named objects comes with the first object and goes with the last one,
// also when a fallback wait-any has mapped the shared wake-up word in it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "ZolTestSupport.h"

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

TEST(QelDirectory, LastObjectTakesTheDirectoryWithIt) {
    // A namespace of its own, so that other tests running meanwhile do not keep it alive.
    std::string space = "t" + std::to_string(getpid());
    std::string directory = "/dev/shm/zoltov-" + std::to_string(geteuid()) + "-" + space;
    ASSERT_FALSE(exists(directory));
    setenv("ZOL_QEL_NAMESPACE", space.c_str(), 1);
    setenv("ZOL_QEL_FORCE_WAITV_FALLBACK", "1", 1);

    pid_t waiter = zoltest::spawnHelper("qel_helper", {"wait-event", "ev", "10000"});
    bool waiting = zoltest::waitUntil(
        [&] { return exists(directory + "/e.ev") && exists(directory + "/.waitany"); }, 5000);
    // The setter's close is not the last one: the waiter still holds the event.
    int setter = zoltest::exitCodeOf(
        zoltest::waitChild(zoltest::spawnHelper("qel_helper", {"set-event", "ev"}), 10000));
    int waited = zoltest::exitCodeOf(zoltest::waitChild(waiter, 15000));
    // Looking for a name that does not exist leaves nothing behind either.
    int missing = zoltest::exitCodeOf(
        zoltest::waitChild(zoltest::spawnHelper("qel_helper", {"lock-named", "none", "0"}), 10000));
    unsetenv("ZOL_QEL_NAMESPACE");
    unsetenv("ZOL_QEL_FORCE_WAITV_FALLBACK");

    EXPECT_TRUE(waiting);
    EXPECT_EQ(0, setter);
    EXPECT_EQ(0, waited);
    EXPECT_EQ(1, missing);  // qelOpenMutex refused the unknown name
    EXPECT_FALSE(exists(directory)) << directory << " outlived its last object";
}

}  // namespace
