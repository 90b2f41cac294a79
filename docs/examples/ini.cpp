// Reading settings: sections, a typed item, repeated lookups and a quoted list.
#include <stdio.h>
#include <stdlib.h>

#include <zoltov/zoltov.h>

int main() {
    char path[] = "/tmp/zoltov-doc-ini-XXXXXX";
    int fd = mkstemp(path);
    FILE* out = fdopen(fd, "w");
    fputs("[Net]\nPort = 80\nport = 81\nHosts = \"a, b\", c ; comment\nSize = 4, 3\n", out);
    fclose(out);

    CZolIniFile ini(path, CZolIniFile::eRead);
    int first = 0, second = 0, third = 0, width = 0, height = 0;
    char hosts[512];
    int ok = ini.GetSection("net") == 0 && ini.GetItem("PORT", first) == 0 &&
             ini.GetItem("PORT", second) == 0 && ini.GetItem("PORT", third) == -1 &&
             ini.GetItem("HOSTS", hosts) == 0 &&
             ini.ScanItem("SIZE", "dd", &width, &height) == 0;  // every part, in turn
    printf("ports %d %d, first host part '%s', size %dx%d\n", first, second, hosts, width, height);
    remove(path);
    return ok && first == 80 && second == 81 && width == 4 && height == 3 ? 0 : 1;
}
