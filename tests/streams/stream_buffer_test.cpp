// Byte encodings of the stream operators and the one-direction rules of the memory buffer.
#include <gtest/gtest.h>

#include <vector>

#include "CZolStreamBuffer.h"
#include "ZolStreamBytes.h"

using zoltest::Bytes;
using zoltest::ByteStream;

namespace {

Bytes drain(CZolStreamBuffer& buffer) {
    ByteStream sink;
    EXPECT_EQ(buffer.Flush(sink), 1);
    EXPECT_EQ(sink.writes, 1);
    return sink.written;
}

template <class F>
bool throwsZero(F&& f) {
    try {
        f();
    } catch (int code) {
        return code == 0;
    }
    return false;
}

}  // namespace

TEST(StreamEncoding, ValuesAreRawMachineBytesBackToBack) {
    struct Case {
        const char* name;
        void (*put)(CZolStream&);
        Bytes expected;
    };
    const Case cases[] = {
        {"int 1", [](CZolStream& s) { s << 1; }, {0x01, 0, 0, 0}},
        {"int -1", [](CZolStream& s) { s << -1; }, {0xFF, 0xFF, 0xFF, 0xFF}},
        {"int min", [](CZolStream& s) { s << static_cast<int>(0x80000000u); }, {0, 0, 0, 0x80}},
        {"unsigned 258", [](CZolStream& s) { s << 258u; }, {0x02, 0x01, 0, 0}},
        {"bool true", [](CZolStream& s) { s << true; }, {0x01}},
        {"bool false", [](CZolStream& s) { s << false; }, {0x00}},
        {"int, bool, unsigned",
         [](CZolStream& s) { s << 7 << true << 258u; },
         {0x07, 0, 0, 0, 0x01, 0x02, 0x01, 0, 0}},
    };
    for (const Case& c : cases) {
        CZolStreamBuffer buffer(0, 16);
        c.put(buffer);
        EXPECT_EQ(buffer.GetLength(), c.expected.size()) << c.name;
        EXPECT_EQ(drain(buffer), c.expected) << c.name;
    }
}

TEST(StreamEncoding, ReadsTakeTheSameBytesBack) {
    unsigned char bytes[] = {0xFE, 0xFF, 0xFF, 0xFF, 0x01, 0x2A, 0, 0, 0x80};
    CZolStreamBuffer buffer(1, 16);
    ASSERT_EQ(buffer.Fill(bytes, sizeof bytes), 1);
    int i = 0;
    bool b = false;
    unsigned int u = 0;
    buffer >> i >> b >> u;
    EXPECT_EQ(i, -2);
    EXPECT_TRUE(b);
    EXPECT_EQ(u, 0x8000002Au);
    EXPECT_EQ(buffer.GetLength(), 0u);
}

TEST(StreamBuffer, LackOfRoomOrDataThrowsZeroAndChangesNothing) {
    unsigned char eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    CZolStreamBuffer writer(0, 8);
    EXPECT_EQ(writer.Write(eight, 0), 0u);
    EXPECT_EQ(writer.GetLength(), 0u);
    EXPECT_EQ(writer.Write(eight, 8), 8u);
    EXPECT_TRUE(throwsZero([&] { writer.Write(eight, 1); }));
    EXPECT_EQ(writer.GetLength(), 8u);
    EXPECT_EQ(writer.GetSpace(), 0u);
    EXPECT_EQ(drain(writer), Bytes(eight, eight + 8));

    CZolStreamBuffer reader(1, 10);
    EXPECT_EQ(reader.GetLength(), 0u);
    EXPECT_EQ(reader.GetSpace(), 10u);
    unsigned char out[4] = {9, 9, 9, 9};
    EXPECT_TRUE(throwsZero([&] { reader.Read(out, 1); }));
    EXPECT_EQ(reader.Read(out, 0), 0u);
    reader.Fill(eight, 3);
    EXPECT_TRUE(throwsZero([&] { reader.Read(out, 4); }));
    EXPECT_EQ(out[0], 9) << "a refused Read copies nothing";
    EXPECT_EQ(reader.GetLength(), 3u);
    EXPECT_EQ(reader.Read(out, 3), 3u);
    EXPECT_EQ(Bytes(out, out + 3), Bytes({1, 2, 3}));
}

TEST(StreamBuffer, EachModeRefusesTheOtherModesOperations) {
    unsigned char byte = 1;
    ByteStream sink;
    ByteStream source({1}, ~0u, true);
    for (int mode : {0, 1, 2, -1}) {
        CZolStreamBuffer buffer(mode, 8);
        EXPECT_TRUE(throwsZero([&] { buffer.Create("x"); })) << mode;
        EXPECT_TRUE(throwsZero([&] { buffer.Open("x"); })) << mode;
        EXPECT_TRUE(throwsZero([&] { buffer.Close(); })) << mode;
        EXPECT_EQ(throwsZero([&] { buffer.Write(&byte, 1); }), mode != 0) << mode;
        EXPECT_EQ(throwsZero([&] { buffer.Flush(sink); }), mode != 0) << mode;
        EXPECT_EQ(throwsZero([&] { buffer.Fill(&byte, 1); }), mode != 1) << mode;
        EXPECT_EQ(throwsZero([&] { buffer.Fill(source); }), mode != 1) << mode;
        EXPECT_EQ(throwsZero([&] { buffer.Read(&byte, 1); }), mode != 1) << mode;
        EXPECT_EQ(buffer.Flush(), 1) << "the base's Flush() does nothing";
    }
    EXPECT_EQ(sink.writes, 1) << "only the write-mode buffer reached the target";
}

TEST(StreamBuffer, FlushHandsEverythingOverInOneWriteOrKeepsIt) {
    CZolStreamBuffer source(0, 16);
    source << 7 << true << 258u;

    CZolStreamBuffer small(0, 8);
    EXPECT_TRUE(throwsZero([&] { source.Flush(small); }));
    EXPECT_EQ(source.GetLength(), 9u);
    EXPECT_EQ(small.GetLength(), 0u);

    ByteStream refusing({}, 5);
    EXPECT_EQ(source.Flush(refusing), 0);
    EXPECT_EQ(source.GetLength(), 9u) << "a short Write keeps the data for another try";

    CZolStreamBuffer target(0, 16);
    EXPECT_EQ(source.Flush(target), 1);
    EXPECT_EQ(source.GetLength(), 0u);
    EXPECT_EQ(source.GetSpace(), 16u);
    EXPECT_EQ(drain(target), Bytes({0x07, 0, 0, 0, 0x01, 0x02, 0x01, 0, 0}));
}

TEST(StreamBuffer, FillCompactsUnreadBytesToTheFront) {
    unsigned char six[6] = {1, 2, 3, 4, 5, 6};
    unsigned char data[9] = {11, 12, 13, 14, 15, 16, 17, 18, 19};
    unsigned char out[10] = {};
    CZolStreamBuffer buffer(1, 10);
    buffer.Fill(six, 6);
    buffer.Read(out, 4);
    EXPECT_EQ(buffer.GetSpace(), 8u);
    EXPECT_TRUE(throwsZero([&] { buffer.Fill(data, 9); }));
    EXPECT_EQ(buffer.GetLength(), 2u) << "the unread bytes survive a refused Fill";
    EXPECT_EQ(buffer.Fill(data, 8), 1);
    EXPECT_EQ(buffer.GetLength(), 10u);
    EXPECT_EQ(buffer.Read(out, 10), 10u);
    EXPECT_EQ(Bytes(out, out + 10), Bytes({5, 6, 11, 12, 13, 14, 15, 16, 17, 18}));

    // From a stream: one Read asking for exactly the room behind the kept bytes.
    buffer.Fill(six, 6);
    buffer.Read(out, 5);
    ByteStream stream({21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31}, ~0u, true);
    EXPECT_EQ(buffer.Fill(stream), 1);
    EXPECT_EQ(stream.reads, 1);
    EXPECT_EQ(stream.lastAsked, 9u);
    EXPECT_EQ(buffer.Read(out, 10), 10u);
    EXPECT_EQ(Bytes(out, out + 10), Bytes({6, 21, 22, 23, 24, 25, 26, 27, 28, 29}));

    ByteStream empty({}, ~0u, true);
    EXPECT_EQ(buffer.Fill(empty), 0) << "nothing unread and nothing delivered";
}

TEST(StreamBuffer, LargestCapacityHasNoRoom) {
    unsigned char byte = 1;
    CZolStreamBuffer writer(0, 0xFFFFFFFFu);
    EXPECT_EQ(writer.GetSpace(), 0u);
    EXPECT_TRUE(throwsZero([&] { writer.Write(&byte, 1); }));
    CZolStreamBuffer reader(1, 0xFFFFFFFFu);
    EXPECT_TRUE(throwsZero([&] { reader.Fill(&byte, 1); }));
    ByteStream stream({1, 2}, ~0u, true);
    EXPECT_EQ(reader.Fill(stream), 0);
    EXPECT_EQ(reader.GetLength(), 0u);
}
