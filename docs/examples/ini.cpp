// Reading settings: sections, a typed item, repeated lookups and a quoted list.
#include <stdio.h>
#include <stdlib.h>

#include "zoltov.h"

int main() {
    char path[] = "/tmp/zoltov-doc-ini-XXXXXX";
    int fd = mkstemp(path);
    FILE* out = fdopen(fd, "w");
    fputs("[Net]\nPort = 80\nport = 81\nHosts = \"a, b\", c ; comment\n", out);
    fclose(out);

    CZolIniFile ini(path, CZolIniFile::eRead);
    int first = 0, second = 0, third = 0;
    char hosts[512];
    int ok = ini.GetSection("net") == 0 && ini.GetItem("PORT", first) == 0 &&
             ini.GetItem("PORT", second) == 0 && ini.GetItem("PORT", third) == -1 &&
             ini.GetItem("HOSTS", hosts) == 0;
    printf("ports %d %d, first host part '%s'\n", first, second, hosts);
    remove(path);
    return ok && first == 80 && second == 81 ? 0 : 1;
}
