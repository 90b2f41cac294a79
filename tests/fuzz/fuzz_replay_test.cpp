// Replays every seed (fuzz/corpus/<target>/) and every kept reproducer
// (fuzz/regressions/<target>/) through the fuzz targets' own entry points, compiled into
// this program with renamed symbols. A target that finds a fault aborts (or its sanitizer
// stops the process), so a corpus file that fails again fails this test.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int ini_fuzz_TestOneInput(const uint8_t* data, size_t size);
extern "C" int ini_value_fuzz_TestOneInput(const uint8_t* data, size_t size);
extern "C" int stream_buffer_fuzz_TestOneInput(const uint8_t* data, size_t size);
extern "C" int string_fuzz_TestOneInput(const uint8_t* data, size_t size);
extern "C" int cstring_fuzz_TestOneInput(const uint8_t* data, size_t size);

namespace {

struct Target {
    const char* name;
    int (*run)(const uint8_t*, size_t);
};

const Target kTargets[] = {
    {"ini_fuzz", ini_fuzz_TestOneInput},
    {"ini_value_fuzz", ini_value_fuzz_TestOneInput},
    {"stream_buffer_fuzz", stream_buffer_fuzz_TestOneInput},
    {"string_fuzz", string_fuzz_TestOneInput},
    {"cstring_fuzz", cstring_fuzz_TestOneInput},
};

const std::string kFuzzDir = std::string(ZOL_SOURCE_DIR) + "/fuzz";

// The names in `dir` (files or not) other than dot entries, sorted; none when it is missing.
std::vector<std::string> namesIn(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* stream = opendir(dir.c_str())) {
        while (dirent* entry = readdir(stream)) {
            if (entry->d_name[0] != '.') {
                names.push_back(entry->d_name);
            }
        }
        closedir(stream);
    }
    std::sort(names.begin(), names.end());
    return names;
}

class FuzzReplay : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzReplay, SeedsAndReproducersRunClean) {
    const Target& target = GetParam();
    size_t seeds = namesIn(kFuzzDir + "/corpus/" + target.name).size();
    EXPECT_GE(seeds, 3u) << "a handful of seeds for " << target.name;
    for (const char* kind : {"/corpus/", "/regressions/"}) {
        std::string dir = kFuzzDir + kind + target.name;
        for (const std::string& name : namesIn(dir)) {
            std::string path = dir + "/" + name;
            std::ifstream file(path, std::ios::binary);
            ASSERT_TRUE(file) << path;
            // An exactly sized copy, as libFuzzer passes it, so reads past the end show.
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                       std::istreambuf_iterator<char>());
            std::unique_ptr<uint8_t[]> input(new uint8_t[bytes.size()]);
            std::copy(bytes.begin(), bytes.end(), input.get());
            // Shown only when this test fails: the file that was running.
            printf("replaying %s\n", path.c_str());
            fflush(stdout);
            EXPECT_EQ(target.run(input.get(), bytes.size()), 0) << path;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(kTargets),
                         [](const ::testing::TestParamInfo<Target>& info) {
                             return std::string(info.param.name);
                         });

// A new fuzz/<name>_fuzz.cpp is compiled in here automatically; it must also be listed
// above, or its corpus would silently go unreplayed.
TEST(FuzzReplayTargets, EveryFuzzTargetIsReplayed) {
    int sources = 0;
    for (const std::string& name : namesIn(kFuzzDir)) {
        const std::string suffix = "_fuzz.cpp";
        if (name.size() <= suffix.size() ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
            continue;
        }
        ++sources;
        std::string target = name.substr(0, name.size() - 4);
        EXPECT_TRUE(std::any_of(std::begin(kTargets), std::end(kTargets),
                                [&](const Target& t) { return target == t.name; }))
            << target << " is not replayed";
    }
    EXPECT_EQ(sources, static_cast<int>(std::size(kTargets)));
}

}  // namespace
