// The free trace and assertion functions and the library's exception.
#include <signal.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "CZolException.h"
#include "ZolTestSupport.h"
#include "ZolTrace.h"

namespace {

TEST(Trace, WritesOneLinePlainText) {
    struct Case {
        const char* format;
        const char* argument;
        const char* expected;
    } cases[] = {
        {"abc", nullptr, "abc\n"},
        {"%s", "100% sure %d", "100% sure %d\n"},
        {"%s", "ends\n", "ends\n\n"},
    };
    for (const Case& c : cases) {
        int result = 0;
        std::string out = zoltest::captureStdout(
            [&] { result = c.argument ? __ZolTrace(c.format, c.argument) : __ZolTrace(c.format); });
        EXPECT_EQ(out, c.expected) << c.format;
        EXPECT_EQ(result, static_cast<int>(out.size()));
    }
}

TEST(Trace, LongTextKeepsItsNewlineInsideTheBuffer) {
    std::string long_text(1000, 'x');
    std::string out = zoltest::captureStdout([&] { __ZolTrace("%s", long_text.c_str()); });
    EXPECT_EQ(out, std::string(510, 'x') + "\n");
}

TEST(AssertDeathTest, WritesOneBelLineThenStopsWithSigfpe) {
    // Death-test output is matched against stderr; move stdout there to see the line.
    EXPECT_EXIT(
        {
            dup2(2, 1);
            ZOL_ASSERT(1 + 1 == 3);
        },
        testing::KilledBySignal(SIGFPE),
        "^\aFAILED ASSERTION 1 \\+ 1 == 3 \\(.*diagnostics_core_test.cpp line [0-9]+\\)\n$");
}

TEST(AssertDeathTest, DirectCallReportsItsArguments) {
    EXPECT_EXIT(
        {
            dup2(2, 1);
            __ZolAssert(const_cast<char*>("this"), const_cast<char*>("f.cpp"), 12);
        },
        testing::KilledBySignal(SIGFPE), "^\aFAILED ASSERTION this \\(f.cpp line 12\\)\n$");
}

TEST(Exception, CodeZeroIsSuccessOthersThrow) {
    EXPECT_EQ(CZolException::RiseZolTovException(0, const_cast<char*>("f"), 1), 0u);
    try {
        CZolException::RiseZolTovException(5, const_cast<char*>("f"), 1);
        FAIL() << "code 5 must throw";
    } catch (const CZolException& e) {
        EXPECT_EQ(e.m_nErrorCode, 5u);
        EXPECT_EQ(e.m_strMessage.IsEmpty(), 1);
    }
    CZolException withMessage(7, "disk full");
    CZolException copy(withMessage);
    EXPECT_STREQ(copy.m_strMessage.c_str(), "disk full");
    EXPECT_NE(copy.m_strMessage.c_str(), withMessage.m_strMessage.c_str()) << "deep copy";
}

}  // namespace
