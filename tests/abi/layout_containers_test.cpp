// The field layout of the integer arrays and the counter, as compiled client programs see
// them.
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#include <cstddef>
#include <cstring>
#include <type_traits>

#include <gtest/gtest.h>

#include "CZolCounter.h"
#include "CZolIntArray.h"

namespace {
struct ArrayTwin {
    virtual ~ArrayTwin();
    int** m_ppData;
    int m_nSize;
    int m_nMaxSize;
    int m_nGrowBy;
};
struct IntArrayTwin {
    virtual ~IntArrayTwin();
    ArrayTwin* m_pArray;
};
struct CounterTwin {
    virtual ~CounterTwin();
    unsigned int m_nCount;
    unsigned int m_nLimit;
};
}  // namespace

static_assert(sizeof(CZolArray<int>) == 32, "vptr, table pointer, three ints, padded");
static_assert(sizeof(ArrayTwin) == sizeof(CZolArray<int>));
static_assert(offsetof(ArrayTwin, m_ppData) == 8);
static_assert(offsetof(ArrayTwin, m_nSize) == 16);
static_assert(offsetof(ArrayTwin, m_nMaxSize) == 20);
static_assert(offsetof(ArrayTwin, m_nGrowBy) == 24);
static_assert(std::has_virtual_destructor<CZolArray<int>>::value);
static_assert(sizeof(CZolIntArray) == 16, "vptr + owned CZolArray<int>*");
static_assert(offsetof(IntArrayTwin, m_pArray) == 8);
static_assert(std::has_virtual_destructor<CZolIntArray>::value);
static_assert(sizeof(CZolCounter) == 16, "vptr + two unsigned ints");
static_assert(offsetof(CounterTwin, m_nCount) == 8);
static_assert(offsetof(CounterTwin, m_nLimit) == 12);

template <class T>
T fieldAt(const void* object, size_t offset) {
    T value;
    std::memcpy(&value, static_cast<const char*>(object) + offset, sizeof value);
    return value;
}

TEST(LayoutContainers, ArrayFieldsHoldTheirStatedValues) {
    CZolIntArray array;
    array.Add(41);
    const void* table = fieldAt<const void*>(&array, offsetof(IntArrayTwin, m_pArray));
    EXPECT_EQ(fieldAt<int>(table, offsetof(ArrayTwin, m_nSize)), 1);
    EXPECT_EQ(fieldAt<int>(table, offsetof(ArrayTwin, m_nMaxSize)), 5);
    EXPECT_EQ(fieldAt<int>(table, offsetof(ArrayTwin, m_nGrowBy)), 3);
    int** slots = fieldAt<int**>(table, offsetof(ArrayTwin, m_ppData));
    EXPECT_EQ(*slots[0], 41);
    array.DeleteAll();

    CZolCounter counter(7);
    ++counter;
    EXPECT_EQ(fieldAt<unsigned int>(&counter, offsetof(CounterTwin, m_nCount)), 1u);
    EXPECT_EQ(fieldAt<unsigned int>(&counter, offsetof(CounterTwin, m_nLimit)), 7u);
}
