// zoltov which PROGRAM: the first directory along PATH that holds an entry PROGRAM.
#include <cstdio>

#include "CZolFindFile.h"
#include "ZolTool.h"

namespace zoltool {

int runWhich(const Args& args) {
    if (args.size() != 1) {
        return usage("which: expected one PROGRAM");
    }
    const std::string& program = args[0];
    if (program.empty()) {
        return usage("which: PROGRAM must not be empty");
    }
    CZolFindFile finder;
    if (!finder.Which(program.c_str())) {
        return fail(kExitNotFound, "which: " + program + ": not found in PATH");
    }
    // The directory exactly as PATH spells it, then the entry as matched.
    std::printf("%s/%s\n", finder.GetFilePath().c_str(), finder.GetFileName().c_str());
    return kExitOk;
}

}  // namespace zoltool
