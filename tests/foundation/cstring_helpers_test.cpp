// The C-string helpers: blank stripping, one-block string arrays, copies and appends.
#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "ZolCString.h"

namespace {

TEST(StrStrip, TrimmedMode) {
    struct Case {
        const char* input;
        const char* expected;
    } cases[] = {
        {" \ta c\t ", "a c"}, {"   ", ""}, {"", ""}, {"x", "x"}, {"\r x \n", "\r x \n"},
    };
    for (const Case& c : cases) {
        std::string buffer(c.input);
        EXPECT_STREQ(Str_Strip(buffer.data(), 0), c.expected) << '"' << c.input << '"';
    }
}

TEST(StrStrip, FixedWidthModeNeverTouchesTheByteAtWidth) {
    struct Case {
        const char* input;  // 8 bytes: 6 of field, then a guard byte, then NUL
        const char* expected;
    } cases[] = {
        {"  ab  #", "ab    #"},    {"ab\0XYZ#", "ab\0XYZ#"},  // nothing to shift
        {" \0XYZW#", "      #"},                              // terminator among the leading blanks
        {"\t\0XYZW#", "\t     #"},                            // a leading tab stays a tab
        {"      #", "      #"},                               // all blanks: unchanged
        {" \tx\0yz#", "x\0yz  #"},                            // the terminator moves with the text
    };
    for (const Case& c : cases) {
        char buffer[8];
        memcpy(buffer, c.input, 8);
        Str_Strip(buffer, 6);
        EXPECT_EQ(std::string(buffer, 7), std::string(c.expected, 7));
    }
    char untouched[] = " a ";
    EXPECT_STREQ(Str_Strip(untouched, -1), " a ");
}

TEST(StrAllocMem, OneBlockOneFree) {
    char** array = Str_AllocMem(3, 2, 1);
    ASSERT_NE(array, nullptr);
    EXPECT_STREQ(array[0], "   ");
    EXPECT_STREQ(array[1], "   ");
    EXPECT_EQ(array[1] - array[0], 4);
    EXPECT_EQ(reinterpret_cast<char*>(array + 2), array[0]) << "areas follow the pointers";
    free(array);  // the whole array, strings included (ASan/valgrind check this)

    char** none = Str_AllocMem(10, 0, 1);
    ASSERT_NE(none, nullptr);
    free(none);
}

TEST(StrReAllocMem, CopiesOldStringsExactlyAndAddsFreshOnes) {
    char** fresh = Str_ReAllocMem(nullptr, 5, 2, 8, 1, 0);
    ASSERT_NE(fresh, nullptr);
    for (int k = 0; k < 7; ++k) {
        EXPECT_EQ(memcmp(fresh[k], "\0\0\0\0\0\0\0\0", 8), 0) << k;
    }
    strcpy(fresh[0], "one");
    strcpy(fresh[1], "");
    char** grown = Str_ReAllocMem(fresh, 7, 1, 4, 1, ' ');
    ASSERT_NE(grown, nullptr);
    EXPECT_STREQ(grown[0], "one");
    EXPECT_STREQ(grown[1], "");
    EXPECT_EQ(memcmp(grown[7], "    ", 4), 0);
    for (int k = 0; k < 8; ++k) {
        free(grown[k]);
    }
    delete[] grown;
}

TEST(StrAppend, LengthsAndOwnership) {
    struct Case {
        const char* initial;  // appended to a null text first, or nothing
        const char* add;
        int index, count;
        std::string expected;  // with its terminator
    } cases[] = {
        {nullptr, "abc", -1, -1, std::string("abc", 4)},
        {"ab", "cdef", -1, 2, std::string("abcd", 5)},
        {"abc", "x", 1, -1, std::string("ax", 3)},
        {nullptr, "abcdef", 99, 3, std::string("abc", 4)},
        {"ab", "z", 4, 1, std::string("ab\0\0z", 6)},  // short text padded with NULs
    };
    for (const Case& c : cases) {
        char* text = nullptr;
        if (c.initial != nullptr) {
            Str_Append(text, const_cast<char*>(c.initial), -1, -1);
        }
        char* result = Str_Append(text, const_cast<char*>(c.add), c.index, c.count);
        EXPECT_EQ(result, text) << c.add;
        EXPECT_EQ(std::string(text, c.expected.size()), c.expected) << c.add;
        delete[] text;
    }
}

TEST(CaseConversion, InPlaceUpToTheTerminator) {
    char text[] = "Hello, World 9";
    EXPECT_STREQ(strupr(text), "HELLO, WORLD 9");
    EXPECT_STREQ(strlwr(text), "hello, world 9");
    char empty[] = "";
    EXPECT_EQ(strupr(empty), empty);
}

}  // namespace
