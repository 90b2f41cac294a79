// Section selection plus an integer lookup on a generated file of 50 sections x 20 items,
// against a plain fgets scan doing the same search on an already open stream. The reader
// rereads the file by design; the comparison shows what its line handling adds.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "CZolIniFile.h"

namespace {

constexpr int kSections = 50;
constexpr int kItems = 20;

// A plain array, not a std::string: the exit handler runs after function-local statics
// constructed later than its registration have been destroyed.
char g_iniPath[64];

const char* iniPath() {
    if (g_iniPath[0] == '\0') {
        snprintf(g_iniPath, sizeof g_iniPath, "/tmp/bench_ini_%d.ini", static_cast<int>(getpid()));
        FILE* f = fopen(g_iniPath, "w");
        fprintf(f, "; generated\n");
        for (int s = 0; s < kSections; ++s) {
            fprintf(f, "[Section%d]\n", s);
            for (int i = 0; i < kItems; ++i) {
                fprintf(f, "Item%d = %d ; note\n", i, s * 100 + i);
            }
        }
        fclose(f);
        atexit([] { remove(g_iniPath); });
    }
    return g_iniPath;
}

// Each iteration looks up the next (section, item) pair, visiting every section.
struct Target {
    int section = 0;
    int item = 0;
    void next() {
        section = (section + 7) % kSections;
        item = (item + 3) % kItems;
    }
};

void BM_IniFile(benchmark::State& state) {
    CZolIniFile ini(iniPath(), CZolIniFile::eRead);
    Target target;
    char section[32], item[32];
    for (auto _ : state) {
        snprintf(section, sizeof section, "section%d", target.section);
        snprintf(item, sizeof item, "item%d", target.item);
        int value = -1;
        if (ini.GetSection(section) != 0 || ini.GetItem(item, value) != 0 ||
            value != target.section * 100 + target.item) {
            state.SkipWithError("lookup failed");
            break;
        }
        benchmark::DoNotOptimize(value);
        target.next();
    }
}
BENCHMARK(BM_IniFile);

// The same search by hand: rewind, find the header line, then the item line up to the
// next header, case-insensitively, and convert the value.
void BM_PlainFgets(benchmark::State& state) {
    FILE* file = fopen(iniPath(), "r");
    Target target;
    char header[32], item[32], line[600];
    for (auto _ : state) {
        snprintf(header, sizeof header, "[section%d]", target.section);
        snprintf(item, sizeof item, "item%d", target.item);
        size_t itemLength = strlen(item);
        fseek(file, 0, SEEK_SET);
        int value = -1;
        bool inSection = false;
        while (fgets(line, sizeof line, file) != nullptr) {
            if (!inSection) {
                inSection = strncasecmp(line, header, strlen(header)) == 0;
                continue;
            }
            if (line[0] == '[') {
                break;
            }
            if (strncasecmp(line, item, itemLength) == 0 &&
                (line[itemLength] == ' ' || line[itemLength] == '=')) {
                value = static_cast<int>(strtol(strchr(line, '=') + 1, nullptr, 10));
                break;
            }
        }
        if (value != target.section * 100 + target.item) {
            state.SkipWithError("lookup failed");
            break;
        }
        benchmark::DoNotOptimize(value);
        target.next();
    }
    fclose(file);
}
BENCHMARK(BM_PlainFgets);

}  // namespace

BENCHMARK_MAIN();
