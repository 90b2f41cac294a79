// Replays every seed (fuzz/corpus/<target>/) and every kept reproducer
// (fuzz/regressions/<target>/) through the fuzz targets' own entry points, compiled into
// this program with renamed symbols and listed in the generated FuzzTargets.h. A target
// that finds a fault aborts (or its sanitizer stops the process), so a corpus file that
// fails again fails this test.
#include <stdio.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "FuzzTargets.h"  // struct FuzzTarget and kFuzzTargets, one per fuzz/*_fuzz.cpp
#include "ZolTestSupport.h"

namespace {

class FuzzReplay : public ::testing::TestWithParam<FuzzTarget> {};

TEST_P(FuzzReplay, SeedsAndReproducersRunClean) {
    const std::string fuzz = std::string(ZOL_SOURCE_DIR) + "/fuzz/";
    int seeds = 0;
    for (const char* kind : {"corpus/", "regressions/"}) {
        std::error_code missing;  // a target without reproducers has no directory
        for (const auto& entry :
             std::filesystem::directory_iterator(fuzz + kind + GetParam().name, missing)) {
            seeds += *kind == 'c';
            std::string bytes = zoltest::readFile(entry.path());
            // An exactly sized copy, as libFuzzer passes it, so reads past the end show.
            std::vector<uint8_t> input(bytes.begin(), bytes.end());
            fprintf(stderr, "replaying %s\n", entry.path().c_str());  // seen if the target dies
            EXPECT_EQ(GetParam().run(input.data(), input.size()), 0) << entry.path();
        }
    }
    EXPECT_GE(seeds, 3) << "a handful of seeds";
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(kFuzzTargets),
                         [](const ::testing::TestParamInfo<FuzzTarget>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
