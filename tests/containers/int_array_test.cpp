// Integer arrays: growth of the slot table, holes left by inserting past the end, cell
// ownership, copies, the stream form, and the counter's wrap.
#include <gtest/gtest.h>

#include <vector>

#include "CZolCounter.h"
#include "CZolIntArray.h"
#include "ZolStreamBytes.h"

using zoltest::Bytes;
using Ints = std::vector<int>;

// CZolArray<int>::m_nMaxSize, where a compiled client sees it (the interface baseline pins it):
// the array's m_pArray follows its vptr; the table's m_ppData and m_nSize follow its own.
int slotsOf(const CZolIntArray& a) {
    auto table = *reinterpret_cast<char* const*>(reinterpret_cast<const char*>(&a) + 8);
    return *reinterpret_cast<int*>(table + 8 + sizeof(void*) + sizeof(int));
}

// Releases every element at the end of the test, so that leaks point at the class.
struct Array : CZolIntArray {
    Array(Ints items = {}) {
        for (int v : items)
            Add(v);
    }
    ~Array() { DeleteAll(); }
    Ints values() const {
        Ints out;
        for (int i = 0; i < GetSize(); ++i)
            out.push_back((*this)[i]);
        return out;
    }
};

// Appending to a full table adds 4 slots, inserting before its end 3; inserting past the
// allocated slots makes index + 4, past the end but within the slots nothing.
TEST(IntArray, TableGrowthEditingSearchingAndCopying) {
    // elements added, the index of a further InsertAt (or -1), then slots and size
    const int cases[][4] = {{0, -1, 5, 0}, {5, -1, 5, 5}, {6, -1, 9, 6}, {10, -1, 13, 10},
                            {5, 0, 8, 6},  {2, 7, 11, 8}, {2, 4, 5, 5}};
    for (const auto& c : cases) {
        Array a(Ints(c[0], 1));
        c[1] >= 0 ? a.InsertAt(c[1], 0) : void();
        EXPECT_EQ(Ints({slotsOf(a), a.GetSize(), a.IsEmpty()}), Ints({c[2], c[3], c[3] == 0}))
            << c[0] << " " << c[1];
    }
    Array a({1, 2, 3});
    a.InsertAt(0, 9);
    a.DeleteAt(1);
    int* cell = &a[1];  // RemoveAt hands the cell to the caller
    a.RemoveAt(1);
    EXPECT_EQ(a.values(), Ints({9, 3}));
    EXPECT_EQ(*cell, 2);
    delete cell;
    a.InsertAt(5, 4);  // holes read as 0 and are found as 0
    EXPECT_EQ(Ints({a.Find(9), a.Find(3), a.Find(0), a.Find(4), a.Find(5)}),
              Ints({0, 1, 2, 5, -1}));
    Array copy;
    copy = a;
    copy[0] = 100;
    a[3] = 7;  // a hole gets a cell of its own on first use
    EXPECT_EQ(copy.values(), Ints({100, 3, 0, 0, 0, 4})) << "a copy has cells of its own";
    EXPECT_EQ(Ints({Array(a)[3], a.Find(7)}), Ints({7, 3}));
    CZolIntArray& self = a;
    static_cast<CZolIntArray&>(a) = self;
    EXPECT_EQ(a.values(), Ints({9, 3, 0, 7, 0, 4}));
}

TEST(IntArray, StreamFormAppendsAndKeepsWhatWasReadBeforeRunningOut) {
    CZolStreamBuffer writer(0, 64);
    writer << Array({5, -1});
    const Bytes bytes = {2, 0, 0, 0, 5, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(zoltest::heldBytes(writer), bytes);
    Array a({3});
    *zoltest::readerOf(bytes) >> a;
    for (Bytes count : {Bytes{0, 0, 0, 0, 9, 0, 0, 0}, Bytes{0xFF, 0xFF, 0xFF, 0xFF, 9, 0, 0, 0}}) {
        auto reader = zoltest::readerOf(count);
        *reader >> a;
        EXPECT_EQ(reader->GetLength(), 4u) << "a count of 0 or less reads nothing more";
    }
    auto reader = zoltest::readerOf({3, 0, 0, 0, 10, 0, 0, 0, 20, 0, 0, 0, 30, 0});
    EXPECT_THROW(*reader >> a, int);
    EXPECT_EQ(a.values(), Ints({3, 5, -1, 10, 20}));
}

TEST(Counter, WrapsAtItsLimit) {
    CZolCounter three(3), one(1), zero(0);
    EXPECT_EQ(Ints({++three, ++three, ++three, ++three, ++one, ++one}), Ints({0, 0, 1, 0, 1, 1}));
    // limit 0 wraps only when the count does
    *reinterpret_cast<unsigned int*>(reinterpret_cast<char*>(&zero) + 8) = 0xFFFFFFFEu;
    EXPECT_EQ(Ints({++zero, ++zero}), Ints({0, 1}));
}
