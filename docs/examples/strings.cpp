// Strings and C-string helpers: the behaviours that surprise newcomers.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <zoltov/zoltov.h>

int main() {
    CZolString text("abcdef");
    CZolString kept = text.Right(2);  // drops two bytes on the left: "cdef"
    CZolString none = text.Left(10);  // more than the length: empty, not the whole text
    text << ':' << 5000000000L;       // "abcdef:5000000000"

    char line[] = "\t  key = value  ";
    Str_Strip(line, 0);  // "key = value"

    char** rows = Str_AllocMem(8, 3, 1);  // three strings of 8 spaces, one block
    strcpy(rows[1], "middle");
    printf("%s|%s|%s|%s|%s\n", kept.c_str(), none.c_str(), text.c_str(), line, rows[1]);
    free(rows);  // one free releases the array and its strings
    return strcmp(kept.c_str(), "cdef") == 0 && none.IsEmpty() ? 0 : 1;
}
