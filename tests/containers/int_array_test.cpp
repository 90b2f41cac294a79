// Integer arrays: growth of the slot table, insertion and removal, cell ownership,
// copies, the stream form, and the counter's wrap.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "CZolCounter.h"
#include "CZolIntArray.h"
#include "CZolStreamBuffer.h"
#include "ZolStreamBytes.h"

using zoltest::Bytes;
using zoltest::ByteStream;

namespace {
// The fields the classes keep private, read where a compiled client sees them (the layout
// tests pin these offsets): the array's table pointer and the counter's count follow the
// vptr, and the table's fields follow its own vptr.
constexpr size_t kAfterVptr = 8;

unsigned int countOf(const CZolCounter& c) {
    unsigned int n;
    std::memcpy(&n, reinterpret_cast<const char*>(&c) + kAfterVptr, sizeof n);
    return n;
}
void setCount(CZolCounter& c, unsigned int n) {
    std::memcpy(reinterpret_cast<char*>(&c) + kAfterVptr, &n, sizeof n);
}

struct TableView {
    int** m_ppData;
    int m_nSize;
    int m_nMaxSize;
    int m_nGrowBy;
};
TableView table(const CZolIntArray& a) {
    const char* array;
    std::memcpy(&array, reinterpret_cast<const char*>(&a) + kAfterVptr, sizeof array);
    TableView view;
    std::memcpy(&view, array + kAfterVptr, sizeof view);
    return view;
}

std::vector<int> values(const CZolIntArray& a) {
    std::vector<int> out;
    for (int i = 0; i < a.GetSize(); ++i) {
        out.push_back(a[i]);
    }
    return out;
}

CZolIntArray make(std::initializer_list<int> items) {
    CZolIntArray a;
    for (int v : items) {
        a.Add(v);
    }
    return a;
}

// Every test releases what it still holds, so leaks point at the class, not at the test.
struct Owned {
    CZolIntArray& array;
    ~Owned() { array.DeleteAll(); }
};
}  // namespace

TEST(IntArray, GrowthSizes) {
    struct Case {
        int adds;         // Add(1) .. Add(adds)
        int insertIndex;  // then InsertAt(insertIndex, 0), unless -1
        int slots;
        int size;
    };
    const Case cases[] = {
        {0, -1, 5, 0},    {5, -1, 5, 5}, {6, -1, 9, 6}, {10, -1, 13, 10},
        {14, -1, 17, 14}, {5, 0, 8, 6},  // before the end of a full table: growth 3
        {2, 7, 11, 8},                   // beyond the allocated slots: 7 + 3 + 1
        {2, 4, 5, 5},                    // beyond the end but within the slots: no growth
    };
    for (const Case& c : cases) {
        CZolIntArray a;
        Owned owned{a};
        for (int i = 1; i <= c.adds; ++i) {
            a.Add(i);
        }
        if (c.insertIndex >= 0) {
            a.InsertAt(c.insertIndex, 0);
        }
        EXPECT_EQ(table(a).m_nMaxSize, c.slots) << c.adds << " " << c.insertIndex;
        EXPECT_EQ(a.GetSize(), c.size) << c.adds << " " << c.insertIndex;
        EXPECT_EQ(a.IsEmpty(), c.size == 0 ? 1 : 0) << c.adds << " " << c.insertIndex;
        if (c.size == 0) {
            EXPECT_EQ(a.Find(0), -1);
        }
    }
}

TEST(IntArray, InsertBeyondTheEndLeavesHolesThatReadAsZero) {
    CZolIntArray a = make({1, 2});
    Owned owned{a};
    a.InsertAt(7, 4);
    for (int i = 2; i < 7; ++i) {
        EXPECT_EQ(table(a).m_ppData[i], nullptr) << i;
    }
    EXPECT_EQ(a.Find(0), 2);
    EXPECT_EQ(a.Find(4), 7);
    ByteStream out;
    out << a;
    EXPECT_EQ(out.written.size(), 4u + 8 * 4);
    EXPECT_EQ(out.written[4 + 2 * 4], 0);

    CZolIntArray copy(a);
    Owned ownedCopy{copy};
    EXPECT_EQ(table(copy).m_ppData[3], nullptr) << "a copy keeps holes";
    EXPECT_EQ(values(copy), std::vector<int>({1, 2, 0, 0, 0, 0, 0, 4}));

    a[3] = 9;  // a hole gets a cell of its own on first use
    ASSERT_NE(table(a).m_ppData[3], nullptr);
    EXPECT_EQ(a.Find(9), 3);
}

TEST(IntArray, InsertRemoveDeleteAndFind) {
    CZolIntArray a = make({1, 2, 3});
    Owned owned{a};
    a.InsertAt(0, 9);
    EXPECT_EQ(values(a), std::vector<int>({9, 1, 2, 3}));
    a.DeleteAt(0);
    EXPECT_EQ(values(a), std::vector<int>({1, 2, 3}));

    // RemoveAt drops the element but its cell becomes the caller's: take its address
    // first and release it here, since no array owns it any more.
    int* cell = &a[1];
    a.RemoveAt(1);
    EXPECT_EQ(values(a), std::vector<int>({1, 3}));
    EXPECT_EQ(*cell, 2);
    delete cell;
    EXPECT_EQ(table(a).m_ppData[2], nullptr) << "the vacated slot keeps no address";

    CZolIntArray b = make({4, 7, 4});
    Owned ownedB{b};
    EXPECT_EQ(b.Find(4), 0);
    EXPECT_EQ(b.Find(7), 1);
    EXPECT_EQ(b.Find(5), -1);

    // RemoveAll keeps the cells alive for the caller; insert beyond must not revive them.
    std::vector<int*> cells = {&b[0], &b[1], &b[2]};
    b.RemoveAll();
    EXPECT_EQ(b.IsEmpty(), 1);
    b.InsertAt(3, 8);
    EXPECT_EQ(values(b), std::vector<int>({0, 0, 0, 8}));
    for (int* c : cells) {
        delete c;  // released by hand: RemoveAll hands the cells to the caller
    }
}

TEST(IntArray, CopiesAreIndependentOfTheirSource) {
    CZolIntArray source = make({1, 2, 3, 4, 5, 6});
    Owned ownedSource{source};
    CZolIntArray copy(source);
    Owned ownedCopy{copy};
    EXPECT_EQ(table(copy).m_nMaxSize, 9) << "grown as by Add";
    copy[0] = 100;
    EXPECT_EQ(source[0], 1);
    EXPECT_NE(&copy[1], &source[1]);

    CZolIntArray assigned = make({7, 8});
    Owned ownedAssigned{assigned};
    assigned = source;
    EXPECT_EQ(values(assigned), values(source));
    assigned[5] = -6;
    EXPECT_EQ(source[5], 6);
    CZolIntArray& self = assigned;
    assigned = self;
    EXPECT_EQ(values(assigned), std::vector<int>({1, 2, 3, 4, 5, -6}));
}

TEST(IntArray, StreamForm) {
    CZolIntArray a = make({5, -1});
    Owned owned{a};
    ByteStream out;
    out << a;
    const Bytes expected = {2, 0, 0, 0, 5, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(out.written, expected);
    EXPECT_EQ(out.writes, 3);

    CZolIntArray b = make({3});
    Owned ownedB{b};
    ByteStream in(expected);
    in >> b;
    EXPECT_EQ(values(b), std::vector<int>({3, 5, -1})) << "appended, not replaced";

    for (const Bytes& count : {Bytes{0, 0, 0, 0, 9, 0, 0, 0}, Bytes{0xFF, 0xFF, 0xFF, 0xFF}}) {
        ByteStream none(count);
        none >> b;
        EXPECT_EQ(b.GetSize(), 3) << "a count of 0 or less adds nothing";
        EXPECT_EQ(none.reads, 1) << "and reads nothing more";
    }
}

TEST(IntArray, StreamRunningOutMidwayKeepsWhatWasRead) {
    unsigned char bytes[] = {3, 0, 0, 0, 10, 0, 0, 0, 20, 0, 0, 0, 30, 0};
    CZolStreamBuffer reader(1, sizeof bytes);
    reader.Fill(bytes, sizeof bytes);
    CZolIntArray a;
    Owned owned{a};
    EXPECT_THROW(reader >> a, int);
    EXPECT_EQ(values(a), std::vector<int>({10, 20}));
    EXPECT_EQ(reader.GetLength(), 2u) << "the short read took nothing";
}

TEST(Counter, WrapsAtItsLimit) {
    CZolCounter three(3);
    EXPECT_EQ(++three, 0);
    EXPECT_EQ(++three, 0);
    EXPECT_EQ(++three, 1);
    EXPECT_EQ(countOf(three), 0u);
    EXPECT_EQ(++three, 0);

    CZolCounter one(1);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(++one, 1) << i;
    }

    // Limit 0 cycles only when the 32-bit count overflows; start near the end rather than
    // spending 2^32 increments getting there.
    CZolCounter zero(0);
    EXPECT_EQ(++zero, 0);
    setCount(zero, 0xFFFFFFFEu);
    EXPECT_EQ(++zero, 0);
    EXPECT_EQ(++zero, 1);
    EXPECT_EQ(countOf(zero), 0u);
}
