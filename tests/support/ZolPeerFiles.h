// How helper programs and their tests meet through a directory: a marker file appears whole
// (written under another name and renamed), and a peer waits for one for a bounded time,
// ending with status 3 when it never comes (status 4: it could not write one).
#ifndef ZOLTOV_TESTS_ZOLPEERFILES_H
#define ZOLTOV_TESTS_ZOLPEERFILES_H

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>

namespace zoltest {

constexpr int kPeerWaitMs = 20000;

inline void writePeerFile(const std::string& path, const std::string& content) {
    std::string temporary = path + ".tmp";
    FILE* file = fopen(temporary.c_str(), "w");
    if (file == nullptr) {
        exit(4);
    }
    fputs(content.c_str(), file);
    fclose(file);
    rename(temporary.c_str(), path.c_str());
}

inline void waitForPeerFile(const std::string& path) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPeerWaitMs);
    struct stat info;
    while (stat(path.c_str(), &info) != 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            exit(3);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace zoltest

#endif  // ZOLTOV_TESTS_ZOLPEERFILES_H
