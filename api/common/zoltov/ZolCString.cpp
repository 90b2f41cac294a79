#include "ZolCString.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <new>

namespace {

// Every entry of a Str_ReAllocMem array comes from malloc (strdup for the copies, this for
// the fresh ones), so that one rule, free(), releases any entry. A failure is reported
// like a failed new.
char* allocateFreshString(int size) {
    void* memory = malloc(size > 0 ? static_cast<size_t>(size) : 1);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return static_cast<char*>(memory);
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

char* stripTrimmed(char* text) {
    size_t leading = 0;
    while (isBlank(text[leading])) {
        ++leading;
    }
    if (text[leading] == '\0') {
        text[0] = '\0';
        return text;
    }
    if (leading != 0) {
        memmove(text, text + leading, strlen(text + leading) + 1);
    }
    size_t end = strlen(text);
    while (end > 0 && isBlank(text[end - 1])) {
        --end;
    }
    text[end] = '\0';
    return text;
}

char* stripFixedWidth(char* text, int width) {
    int leading = 0;
    while (leading < width && isBlank(text[leading])) {
        ++leading;
    }
    if (leading == width) {
        return text;
    }
    if (text[leading] == '\0') {
        memset(text + leading, ' ', static_cast<size_t>(width - leading));
        return text;
    }
    memmove(text, text + leading, static_cast<size_t>(width - leading));
    memset(text + (width - leading), ' ', static_cast<size_t>(leading));
    return text;
}

}  // namespace

char* Str_Strip(char* text, int width) {
    if (width == 0) {
        return stripTrimmed(text);
    }
    if (width > 0) {
        return stripFixedWidth(text, width);
    }
    return text;
}

char** Str_AllocMem(int length, int count, char fill) {
    size_t areaSize = static_cast<size_t>(length) + 1;
    size_t entries = static_cast<size_t>(count);
    char** array = static_cast<char**>(malloc(entries * (sizeof(char*) + areaSize)));
    if (array == nullptr) {
        return nullptr;
    }
    char* area = reinterpret_cast<char*>(array + entries);
    for (size_t k = 0; k < entries; ++k, area += areaSize) {
        array[k] = area;
        if (fill != 0) {
            memset(area, ' ', static_cast<size_t>(length));
            area[length] = '\0';
        }
    }
    return array;
}

char** Str_ReAllocMem(char** array, int oldCount, int addCount, int size, int fill, int fillByte) {
    int total = oldCount + addCount;
    char** result = new (std::nothrow) char*[static_cast<size_t>(total)];
    if (result == nullptr) {
        return nullptr;
    }
    int first = 0;
    if (array != nullptr) {
        // Copy everything before releasing anything, so that a failed copy leaves the
        // caller's array exactly as it was.
        for (int k = 0; k < oldCount; ++k) {
            result[k] = strdup(array[k]);
            if (result[k] == nullptr) {
                for (int j = 0; j < k; ++j) {
                    free(result[j]);
                }
                delete[] result;
                return nullptr;
            }
        }
        for (int k = 0; k < oldCount; ++k) {
            free(array[k]);
            array[k] = nullptr;
        }
        delete[] array;
        first = oldCount;
    }
    for (int k = first; k < total; ++k) {
        result[k] = allocateFreshString(size);
        if (fill != 0) {
            memset(result[k], fillByte, static_cast<size_t>(size));
        }
    }
    return result;
}

char* Str_Append(char*& text, char* add, int textLength, int addLength) {
    if (addLength == -1) {
        addLength = static_cast<int>(strlen(add));
    }
    char* result;
    if (text != nullptr) {
        if (textLength == -1) {
            textLength = static_cast<int>(strlen(text));
        }
        result = new char[static_cast<size_t>(textLength) + addLength + 1];
        strncpy(result, text, static_cast<size_t>(textLength));
        delete[] text;
    } else {
        textLength = 0;
        result = new char[static_cast<size_t>(addLength) + 1];
    }
    memcpy(result + textLength, add, static_cast<size_t>(addLength));
    result[textLength + addLength] = '\0';
    text = result;
    return result;
}

char* strupr(char* text) {
    for (char* p = text; *p != '\0'; ++p) {
        *p = static_cast<char>(toupper(static_cast<int>(*p)));
    }
    return text;
}

char* strlwr(char* text) {
    for (char* p = text; *p != '\0'; ++p) {
        *p = static_cast<char>(tolower(static_cast<int>(*p)));
    }
    return text;
}
