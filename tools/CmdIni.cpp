// zoltov ini sections FILE
// zoltov ini get FILE SECTION ITEM [--type int|long|double|char|string|parts]
#include <cstdio>
#include <cstring>

#include "CZolIniFile.h"
#include "ZolTool.h"

namespace zoltool {

namespace {

// The reader keeps section and item names in 32 characters, and a section's bracketed
// form in 31; longer names are refused here rather than silently cut.
constexpr size_t kMaxItemName = 32;
constexpr size_t kMaxBracketedSection = 31;

// Value buffer for FindItem: 512 bytes of value plus the two that GetValue may append.
constexpr size_t kValueBuffer = 514;

int openFile(CZolIniFile& ini, const std::string& file) {
    if (ini.ReOpen(file.c_str(), CZolIniFile::eRead) != 0) {
        return fail(kExitUsage, "cannot open '" + file + "'");
    }
    return kExitOk;
}

size_t bracketedLength(const std::string& section) {
    size_t n = section.size();
    if (section.empty() || section.front() != '[') {
        ++n;
    }
    if (section.empty() || section.back() != ']') {
        ++n;
    }
    return n;
}

int runSections(const Args& args) {
    if (args.size() != 1) {
        return usage("ini sections: expected FILE");
    }
    CZolIniFile ini;
    if (int status = openFile(ini, args[0])) {
        return status;
    }
    char name[33];
    while (ini.GetNextSection(name) == 0) {
        std::printf("%s\n", name);
    }
    return kExitOk;
}

// Every part of the value, one per line, as GetValue takes them off.
int printParts(CZolIniFile& ini, const char* item) {
    char value[kValueBuffer] = {};
    if (ini.FindItem(item, value) != 0) {
        return kExitNotFound;
    }
    char* cursor = value;
    while (char* part = ini.GetValue(cursor)) {
        std::printf("%s\n", part);
        // An open quote (or an over-long value) leaves the cursor where it was: the
        // rest is one last part, and asking again would return it for ever.
        if (cursor <= part) {
            break;
        }
    }
    return kExitOk;
}

int printTyped(CZolIniFile& ini, const char* item, const std::string& type) {
    if (type == "int") {
        int v = 0;
        if (ini.GetItem(item, v) != 0) {
            return kExitNotFound;
        }
        std::printf("%d\n", v);
    } else if (type == "long") {
        long v = 0;
        if (ini.GetItem(item, v) != 0) {
            return kExitNotFound;
        }
        std::printf("%ld\n", v);
    } else if (type == "double") {
        double v = 0;
        if (ini.GetItem(item, v) != 0) {
            return kExitNotFound;
        }
        std::printf("%.17g\n", v);
    } else if (type == "char") {
        char v = 0;
        if (ini.GetItem(item, v) != 0) {
            return kExitNotFound;
        }
        // An empty value gives the terminator: print an empty line, not a NUL byte.
        if (v != '\0') {
            std::putchar(v);
        }
        std::putchar('\n');
    } else if (type == "string") {
        char v[kValueBuffer] = {};
        if (ini.GetItem(item, v) != 0) {
            return kExitNotFound;
        }
        std::printf("%s\n", v);
    } else {
        return printParts(ini, item);
    }
    return kExitOk;
}

int runGet(const Args& args) {
    Args positional;
    std::string type = "string";
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--type") {
            if (i + 1 == args.size()) {
                return usage("ini get: --type needs a value");
            }
            type = args[++i];
        } else if (args[i].rfind("--type=", 0) == 0) {
            type = args[i].substr(7);
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            return usage("ini get: unknown option '" + args[i] + "'");
        } else {
            positional.push_back(args[i]);
        }
    }
    if (positional.size() != 3) {
        return usage("ini get: expected FILE SECTION ITEM");
    }
    static const char* const kTypes[] = {"int", "long", "double", "char", "string", "parts"};
    bool known = false;
    for (const char* t : kTypes) {
        known = known || type == t;
    }
    if (!known) {
        return usage("ini get: unknown type '" + type +
                     "' (int, long, double, char, string or parts)");
    }
    const std::string& file = positional[0];
    const std::string& section = positional[1];
    const std::string& item = positional[2];
    if (bracketedLength(section) > kMaxBracketedSection) {
        return usage("ini get: section name too long: '" + section + "'");
    }
    if (item.empty() || item.size() > kMaxItemName) {
        return usage("ini get: item name must have 1 to 32 characters");
    }
    CZolIniFile ini;
    if (int status = openFile(ini, file)) {
        return status;
    }
    // An empty section name reads the lines before the first section header.
    if (!section.empty() && ini.GetSection(section.c_str()) != 0) {
        return fail(kExitNotFound, "section '" + section + "' not found in '" + file + "'");
    }
    int status = printTyped(ini, item.c_str(), type);
    if (status == kExitNotFound) {
        return fail(kExitNotFound,
                    "item '" + item + "' not found in section '" + section + "' of '" + file + "'");
    }
    return status;
}

}  // namespace

int runIni(const Args& args) {
    if (args.empty()) {
        return usage("ini: expected 'sections' or 'get'");
    }
    Args rest(args.begin() + 1, args.end());
    if (args[0] == "sections") {
        return runSections(rest);
    }
    if (args[0] == "get") {
        return runGet(rest);
    }
    return usage("ini: unknown subcommand '" + args[0] + "'");
}

}  // namespace zoltool
