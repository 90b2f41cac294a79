// Integer arrays: growth of the slot table, holes left by inserting past the end, cell
// ownership, copies, the stream form, and the counter's wrap.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "CZolCounter.h"
#include "CZolIntArray.h"
#include "ZolStreamBytes.h"

using zoltest::Bytes;

namespace {

// The private table a compiled client sees (the layout tests pin it): CZolIntArray's
// m_pArray, then CZolArray<int>'s m_ppData and m_nMaxSize, each after a vptr.
int** slots(const CZolIntArray& a, int* maxSize = nullptr) {
    const char* table;
    std::memcpy(&table, reinterpret_cast<const char*>(&a) + 8, sizeof table);
    if (maxSize != nullptr) {
        std::memcpy(maxSize, table + 8 + sizeof(void*) + sizeof(int), sizeof(int));
    }
    int** data;
    std::memcpy(&data, table + 8, sizeof data);
    return data;
}

std::vector<int> values(const CZolIntArray& a) {
    std::vector<int> out;
    for (int i = 0; i < a.GetSize(); ++i) {
        out.push_back(a[i]);
    }
    return out;
}

// Every element added is released at the end of the test, so leaks point at the class.
struct Array : CZolIntArray {
    Array(std::vector<int> items = {}) {
        for (int v : items) {
            Add(v);
        }
    }
    ~Array() { DeleteAll(); }
};

TEST(IntArray, TableGrowsByFourWhenAppendingAndByThreeWhenInserting) {
    // adds, then InsertAt(index, 0) unless index is -1: slots and size
    for (auto [adds, index, maxSize, size] : std::vector<std::tuple<int, int, int, int>>{
             {0, -1, 5, 0},
             {5, -1, 5, 5},
             {6, -1, 9, 6},
             {10, -1, 13, 10},
             {5, 0, 8, 6},     // before the end of a full table: growth 3
             {2, 7, 11, 8},    // beyond the allocated slots: 7 + 3 + 1
             {2, 4, 5, 5}}) {  // beyond the end but within the slots: no growth
        Array a;
        for (int i = 1; i <= adds; ++i) {
            a.Add(i);
        }
        if (index >= 0) {
            a.InsertAt(index, 0);
        }
        int slotCount = 0;
        slots(a, &slotCount);
        EXPECT_EQ(slotCount, maxSize) << adds << " " << index;
        EXPECT_EQ(a.GetSize(), size) << adds << " " << index;
        EXPECT_EQ(a.IsEmpty(), size == 0);
    }
}

TEST(IntArray, HolesReadAsZeroAndTravelAsZero) {
    Array a({1, 2});
    a.InsertAt(7, 4);
    EXPECT_EQ(slots(a)[3], nullptr);
    EXPECT_EQ(a.Find(0), 2);
    EXPECT_EQ(a.Find(4), 7);
    Array copy;
    copy = a;
    EXPECT_EQ(slots(copy)[3], nullptr) << "a copy keeps the holes";
    EXPECT_EQ(values(copy), std::vector<int>({1, 2, 0, 0, 0, 0, 0, 4}));
    CZolStreamBuffer writer(0, 64);
    writer << a;
    EXPECT_EQ(zoltest::heldBytes(writer).size(), 36u);
    a[3] = 9;  // a hole gets a cell of its own on first use
    EXPECT_EQ(a.Find(9), 3);
}

TEST(IntArray, InsertRemoveDeleteFindAndCopy) {
    Array a({1, 2, 3});
    a.InsertAt(0, 9);
    a.DeleteAt(1);
    EXPECT_EQ(values(a), std::vector<int>({9, 2, 3}));
    int* cell = &a[1];  // RemoveAt hands the cell to the caller
    a.RemoveAt(1);
    EXPECT_EQ(values(a), std::vector<int>({9, 3}));
    EXPECT_EQ(*cell, 2);
    delete cell;
    Array b({4, 7, 4});
    EXPECT_EQ(b.Find(4) * 10 + b.Find(7), 1);
    EXPECT_EQ(b.Find(5), -1);
    CZolIntArray copy(b);
    copy[0] = 100;
    EXPECT_EQ(b[0], 4) << "a copy has cells of its own";
    b = b;
    EXPECT_EQ(values(b), std::vector<int>({4, 7, 4}));
    copy.DeleteAll();
}

TEST(IntArray, StreamFormAppendsAndKeepsWhatWasReadBeforeRunningOut) {
    CZolStreamBuffer writer(0, 64);
    writer << Array({5, -1});
    const Bytes bytes = {2, 0, 0, 0, 5, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(zoltest::heldBytes(writer), bytes);
    Array a({3});
    *zoltest::readerOf(bytes) >> a;
    EXPECT_EQ(values(a), std::vector<int>({3, 5, -1})) << "appended, not replaced";
    for (Bytes count : {Bytes{0, 0, 0, 0, 9, 0, 0, 0}, Bytes{0xFF, 0xFF, 0xFF, 0xFF, 9, 0, 0, 0}}) {
        auto reader = zoltest::readerOf(count);
        *reader >> a;
        EXPECT_EQ(reader->GetLength(), 4u) << "a count of 0 or less reads nothing more";
    }
    auto reader = zoltest::readerOf({3, 0, 0, 0, 10, 0, 0, 0, 20, 0, 0, 0, 30, 0});
    EXPECT_THROW(*reader >> a, int);
    EXPECT_EQ(values(a), std::vector<int>({3, 5, -1, 10, 20}));
}

TEST(Counter, WrapsAtItsLimit) {
    CZolCounter three(3), one(1), zero(0);
    EXPECT_EQ(std::vector<int>({++three, ++three, ++three, ++three}),
              std::vector<int>({0, 0, 1, 0}));
    EXPECT_EQ(++one + ++one, 2);
    const unsigned int nearEnd = 0xFFFFFFFEu;  // limit 0 wraps only when the count does
    std::memcpy(reinterpret_cast<char*>(&zero) + 8, &nearEnd, sizeof nearEnd);
    EXPECT_EQ(++zero, 0);
    EXPECT_EQ(++zero, 1);
}

}  // namespace
