// Time arithmetic and formatting.
#include <stdio.h>
#include <string.h>

#include <zoltov/zoltov.h>

int main() {
    CZolTime start(1000000000L);
    CZolTimeSpan span(1, 2, 3, 4);  // 1 day, 2 h, 3 min, 4 s
    CZolTime later = start + span;
    CZolString text = (later - start).Format("%D days %H:%M:%S");
    printf("%s\n", text.c_str());
    return strcmp(text.c_str(), "1 days 02:03:04") == 0 ? 0 : 1;
}
