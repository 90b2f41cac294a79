// The field layout and virtual slot order of the streams, as compiled client programs see
// them.
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#include <cstddef>

#include <gtest/gtest.h>

#include "CZolStreamBuffer.h"

// Same fields and virtual functions, in the binary order. A named namespace: in an
// unnamed one the compiler may prove no object of these types exists and fold the calls.
namespace layout_twin {
struct StreamTwin {
    virtual ~StreamTwin();
    virtual int Create(const char* name) = 0;
    virtual int Open(const char* name) = 0;
    virtual void Close() = 0;
    virtual unsigned int Write(unsigned char* buffer, unsigned int count) = 0;
    virtual unsigned int Read(unsigned char* buffer, unsigned int count) = 0;
    virtual int Flush() = 0;
};
struct StreamBufferTwin : StreamTwin {
    virtual int Fill(CZolStream& source) = 0;
    virtual int Fill(unsigned char* data, unsigned int count) = 0;
    virtual int Flush(CZolStream& target) = 0;
    using StreamTwin::Flush;
    unsigned char* m_pBuffer;
    unsigned char* m_pPos;
    unsigned int m_nBufSize;
    unsigned int m_nDataLen;
    int m_nMode;
};
}  // namespace layout_twin
using layout_twin::StreamBufferTwin;

// Views a buffer through its twin. The empty asm hides where the pointer came from, so the
// compiler cannot resolve the calls from the object's known type: they really go through
// the vtable slots a client program would use.
static StreamBufferTwin* twin(CZolStreamBuffer& buffer) {
    void* p = &buffer;
    asm volatile("" : "+r"(p));
    return static_cast<StreamBufferTwin*>(p);
}

static_assert(sizeof(CZolStream) == 8, "vptr only");
static_assert(sizeof(CZolStreamBuffer) == 40, "vptr, two pointers, three 32-bit fields, padded");
static_assert(sizeof(StreamBufferTwin) == sizeof(CZolStreamBuffer));
static_assert(offsetof(StreamBufferTwin, m_pBuffer) == 8);
static_assert(offsetof(StreamBufferTwin, m_pPos) == 16);
static_assert(offsetof(StreamBufferTwin, m_nBufSize) == 24);
static_assert(offsetof(StreamBufferTwin, m_nDataLen) == 28);
static_assert(offsetof(StreamBufferTwin, m_nMode) == 32);

// Not checked by the sanitizer's dynamic-type check: the twin is a view, not an object.
__attribute__((no_sanitize("vptr"))) static void callThroughSlots() {
    unsigned char bytes[3] = {1, 2, 3};
    CZolStreamBuffer writer(0, 8);
    CZolStreamBuffer reader(1, 8);
    auto* w = twin(writer);
    auto* r = twin(reader);
    EXPECT_EQ(w->Write(bytes, 3), 3u);
    EXPECT_EQ(w->m_nDataLen, 3u);
    EXPECT_EQ(w->m_nBufSize, 8u);
    EXPECT_EQ(w->Flush(), 1);
    EXPECT_THROW(w->Create("x"), int);
    EXPECT_EQ(r->Fill(bytes, 2), 1);
    EXPECT_EQ(r->m_nMode, 1);
    EXPECT_EQ(r->Read(bytes + 2, 1), 1u);
    EXPECT_EQ(bytes[2], 1);
    CZolStreamBuffer target(0, 8);
    EXPECT_EQ(w->Flush(target), 1);
    EXPECT_EQ(w->m_pPos, w->m_pBuffer);
    EXPECT_EQ(target.GetLength(), 3u);
    EXPECT_THROW(r->Fill(writer), int) << "the source's Read refuses in write mode";
    EXPECT_EQ(reader.GetLength(), 1u);
}

TEST(LayoutStreams, VirtualSlotsAreInBinaryOrder) {
    callThroughSlots();
}
