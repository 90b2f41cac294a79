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
    const std::string longText(1000, 'x');
    struct Case {
        const char* format;
        const char* argument;
        std::string expected;
    } cases[] = {
        {"abc", nullptr, "abc\n"},
        {"%s", "100% sure %d", "100% sure %d\n"},
        {"%s", "ends\n", "ends\n\n"},
        {"%s", longText.c_str(), std::string(510, 'x') + "\n"},  // the newline fits the buffer
    };
    for (const Case& c : cases) {
        int result = 0;
        std::string out = zoltest::captureStdout(
            [&] { result = c.argument ? __ZolTrace(c.format, c.argument) : __ZolTrace(c.format); });
        EXPECT_EQ(out, c.expected) << c.expected.substr(0, 20);
        EXPECT_EQ(result, static_cast<int>(out.size()));
    }
}

// One BEL line on standard output, then SIGFPE; both through the macro and a direct call.
// Death-test output is matched against stderr, so stdout is moved there.
TEST(AssertDeathTest, WritesOneBelLineThenStopsWithSigfpe) {
    EXPECT_EXIT(
        {
            dup2(2, 1);
            ZOL_ASSERT(1 + 1 == 3);
        },
        testing::KilledBySignal(SIGFPE),
        "^\aFAILED ASSERTION 1 \\+ 1 == 3 \\(.*diagnostics_core_test.cpp line [0-9]+\\)\n$");
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
