// Looking a program up along PATH.
#include <stdio.h>
#include <stdlib.h>

#include <zoltov/zoltov.h>

int main() {
    setenv("PATH", "/nonexistent::/bin:/usr/bin", 1);
    CZolFindFile finder;
    if (finder.Which("sh") != 1) {
        return 1;
    }
    printf("sh found in %s\n", finder.GetFilePath().c_str());
    return finder.Which("no-such-program-zoltov") == 0 ? 0 : 1;
}
