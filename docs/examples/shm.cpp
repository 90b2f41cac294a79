// Two processes share a named segment and pace each other with named events: the child
// opens both by name, as an unrelated program would, and reaches the same objects.
#include <sys/wait.h>
#include <unistd.h>
#include <zoltov/zoltov.h>

#include <cstdio>
#include <string>

// The child's side: its own objects, opened by name and closed before it ends.
static void child(const std::string& name, const std::string& ready) {
    CZolEvent event(0, 0, ready.c_str());     // the same event, by name
    CZolSharedMemory same(name.c_str(), 64);  // attaches: GetConnectionsCount() is 2
    int value = 42;
    memcpy_shmem(same, &value, sizeof value);  // serialised by the segment's own mutex
    event.SetEvent();
}

int main() {
    const std::string name = "guide-shm-" + std::to_string(getpid());
    const std::string ready = name + "-ready";  // auto-reset: a successful wait resets it
    CZolEvent filled(0, 0, ready.c_str());
    CZolSharedMemory segment(name.c_str(), 64);  // creates it: 64 bytes of data
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        child(name, ready);
        _exit(0);  // the parent's objects copied by fork are not this process's to close
    }
    // Waits are in milliseconds: kZolWaitObject0 (0) when set, kZolWaitTimeout (258) on time-out.
    if (SyncWaitForSingleEvent(filled, 5000) != kZolWaitObject0) {
        return 1;
    }
    int value = 0;
    memcpy_shmem(&value, segment, sizeof value);
    int status = 0;
    waitpid(pid, &status, 0);
    std::printf("the child wrote %d\n", value);
    segment.Close();  // the last connection: the segment is removed
    return value == 42 && status == 0 ? 0 : 1;
}
