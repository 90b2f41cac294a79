// The field layout of the time classes, as compiled client programs see it.
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#include <cstddef>
#include <cstring>
#include <type_traits>

#include <gtest/gtest.h>

#include "CZolTime.h"
#include "CZolTimeSpan.h"

namespace {
struct TimeTwin {
    virtual ~TimeTwin();
    long m_time;
};
}  // namespace

static_assert(sizeof(CZolTimeSpan) == 8, "one long, no vptr");
static_assert(!std::is_polymorphic<CZolTimeSpan>::value);
static_assert(sizeof(CZolTime) == 16, "vptr + one long");
static_assert(std::has_virtual_destructor<CZolTime>::value);
static_assert(sizeof(TimeTwin) == sizeof(CZolTime));
static_assert(offsetof(TimeTwin, m_time) == 8);

TEST(LayoutTime, ValuesSitWhereClientsReadThem) {
    CZolTimeSpan span(-7);
    long raw = 0;
    std::memcpy(&raw, &span, sizeof raw);
    EXPECT_EQ(raw, -7);
    CZolTime time(123456789);
    std::memcpy(&raw, reinterpret_cast<const char*>(&time) + offsetof(TimeTwin, m_time),
                sizeof raw);
    EXPECT_EQ(raw, 123456789);
}
