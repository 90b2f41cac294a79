// zoltov which PROGRAM: the first directory along PATH that holds an entry PROGRAM.
#include <sys/stat.h>

#include <cstdio>

#include "CZolFindFile.h"
#include "ZolTool.h"

namespace zoltool {

// Reports any entry of that name, as the library's search does: one that is not
// executable, or a directory, counts as found (documented in the help and man page).
int runWhich(const Invocation& in) {
    const std::string& program = in.operands[0];
    if (program.empty()) {
        return fail(kExitUsage, "PROGRAM must not be empty");
    }
    // A name with a slash is a path already, as for a shell: PATH plays no part.
    if (program.find('/') != std::string::npos) {
        struct stat st;
        if (stat(program.c_str(), &st) != 0) {
            return fail(kExitNotFound, "'" + escaped(program) + "': " + reason());
        }
        std::printf("%s\n", escaped(program).c_str());
        return kExitOk;
    }
    CZolFindFile finder;
    if (!finder.Which(program.c_str())) {
        return fail(kExitNotFound, "'" + escaped(program) + "' not found in PATH");
    }
    // The directory exactly as PATH spells it, then the entry as matched.
    std::printf("%s/%s\n", escaped(finder.GetFilePath().c_str()).c_str(),
                escaped(finder.GetFileName().c_str()).c_str());
    return kExitOk;
}

}  // namespace zoltool
