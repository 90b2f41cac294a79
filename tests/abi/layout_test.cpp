// The object layout that compiled client programs rely on: sizes and field offsets fixed by
// the binary contract. Protected fields are reached through derived probes, private ones
// by reading an object at the agreed offset. Virtual slot order, signatures and exported
// symbols are compared with the committed interface baseline by the abi.baseline test.
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <type_traits>

#include "zoltov.h"

// A probe derives from Class; AT(field, offset) checks one protected field's offset.
#define ZOL_PROBE(Class, checks)                      \
    struct Class##Probe : Class {                     \
        using P = Class##Probe;                       \
        static constexpr bool ok() { return checks; } \
    };                                                \
    static_assert(Class##Probe::ok(), #Class " field offsets")
#define AT(field, offset) (offsetof(P, field) == (offset))

ZOL_PROBE(CZolMutex, AT(m_strName, 8) && AT(m_hMutex, 24));
ZOL_PROBE(CZolLightMutex, AT(m_hMutex, 24));
ZOL_PROBE(CZolEvent, AT(m_hEvent, 24) && AT(m_bManualReset, 32) && AT(m_bOwnsHandle, 36));
ZOL_PROBE(CZolSingleLock, AT(m_pObject, 8) && AT(m_bAcquired, 16));
ZOL_PROBE(CZolLocker, AT(m_pMutex, 8) && AT(m_nMutexType, 16));
ZOL_PROBE(CZolRWLock, AT(m_bOwnsMutex, 8) && AT(m_pMutex, 16) && AT(m_evNoReaders, 24) &&
                          AT(m_nReaders, 64) && AT(m_bWriting, 66) && AT(m_nWaitingWriters, 68));
ZOL_PROBE(CZolRWLocker, AT(m_pLock, 8) && AT(m_bWrite, 16) && AT(m_bReadHeld, 20));
ZOL_PROBE(CZolShMem, AT(m_bCreated, 8) && AT(m_hShMem, 16) && AT(m_pShMem, 24) && AT(m_pData, 32) &&
                         AT(m_nConnections, 40) && AT(m_bOpen, 44) && AT(m_strName, 48));
ZOL_PROBE(CZolSharedMemory, AT(m_pMutex, 64));
ZOL_PROBE(CZolFindFile, AT(m_strFilePath, 8) && AT(m_strFileName, 24) && AT(m_strSearchName, 40) &&
                            AT(m_pDir, 56));
ZOL_PROBE(CZolEventLog, AT(m_strModule, 8) && AT(m_strSource, 24) && AT(m_strLogFile, 40));
ZOL_PROBE(CZolTracer, AT(m_pMutex, 8));

ZOL_PROBE(CZolException, AT(m_strMessage, 8) && AT(m_nErrorCode, 24));
ZOL_PROBE(CZolThread, AT(m_hThread, 8) && AT(m_bAutoDelete, 16) && AT(m_evEnd, 24) &&
                          AT(m_bExit, 64) && AT(m_nExitCode, 68));
ZOL_PROBE(_ZOL_THREAD_STARTUP, AT(pThread, 0) && AT(nFlags, 8) && AT(bAutoDelete, 12) &&
                                   AT(hEventStarted, 16) && AT(hEventContinue, 24));
ZOL_PROBE(CZolIniFile, AT(m_szFileName, 0) && AT(m_pBookMarks, 256) && AT(m_nBookMarks, 264) &&
                           AT(m_nSectionPos, 272) && AT(m_szSection, 280) && AT(m_szItem, 313) &&
                           AT(m_bOpen, 348) && AT(m_szCommentSymbols, 352) && AT(m_pFile, 368) &&
                           offsetof(BookMark, nSectionPos) == 8 &&
                           offsetof(BookMark, szSection) == 16 && offsetof(BookMark, szItem) == 49);
// Whole sizes, the vtable pointer included, as clients allocate the objects.
static_assert(sizeof(CZolString) == 16 && sizeof(CZolException) == 32 && sizeof(CZolTime) == 16 &&
              sizeof(CZolTimeSpan) == 8 && sizeof(CZolArray<int>) == 32 &&
              sizeof(CZolIntArray) == 16 && sizeof(CZolCounter) == 16 && sizeof(CZolStream) == 8 &&
              sizeof(CZolStreamBuffer) == 40 && sizeof(CZolFindFile) == 64 &&
              sizeof(CZolEventLog) == 56 && sizeof(CZolTovEventLog) == 56 &&
              sizeof(CZolModule) == 8 && sizeof(CZolTracer) == 16 && sizeof(CZolSyncObject) == 24 &&
              sizeof(CZolMutex) == 32 && sizeof(CZolLightMutex) == 32 && sizeof(CZolEvent) == 40 &&
              sizeof(CZolSingleLock) == 24 && sizeof(CZolLocker) == 24 &&
              sizeof(CZolRWLock) == 72 && sizeof(CZolRWLocker) == 24 && sizeof(CZolThread) == 72 &&
              sizeof(_ZOL_THREAD_STARTUP) == 32 && sizeof(CZolShMem) == 64 &&
              sizeof(CZolSharedMemory) == 72 && sizeof(CZolStreamSharedMemory) == 80 &&
              sizeof(CZolIniFile) == 376 && sizeof(CZolIniFile::BookMark) == 88 &&
              sizeof(CZolIniFile::EOpenMode) == 4);
static_assert(!std::is_polymorphic<CZolTimeSpan>::value &&
              !std::is_polymorphic<CZolIniFile>::value);

template <class T>
T fieldAt(const void* object, size_t offset) {
    T value;
    std::memcpy(&value, static_cast<const char*>(object) + offset, sizeof value);
    return value;
}

// Private fields cannot be named here: their values must sit at the agreed offsets.
TEST(Layout, PrivateFieldsSitAtTheirOffsets) {
    CZolString text("abc");
    EXPECT_EQ(fieldAt<const char*>(&text, 8), text.c_str());
    CZolTime time(123456789);
    EXPECT_EQ(fieldAt<long>(&time, 8), 123456789);
    CZolTimeSpan span(-7);
    EXPECT_EQ(fieldAt<long>(&span, 0), -7);
    CZolCounter counter(7);
    ++counter;
    EXPECT_EQ(fieldAt<unsigned int>(&counter, 8) * 10 + fieldAt<unsigned int>(&counter, 12), 17u);
    CZolIntArray array;
    array.Add(41);
    const void* table = fieldAt<const void*>(&array, 8);
    EXPECT_EQ(*fieldAt<int**>(table, 8)[0], 41);
    // Then the size, the slot count and the growth step.
    EXPECT_EQ(
        fieldAt<int>(table, 16) * 100 + fieldAt<int>(table, 20) * 10 + fieldAt<int>(table, 24),
        153);
    array.DeleteAll();
    unsigned char bytes[3] = {1, 2, 3};
    CZolStreamBuffer buffer(1, 8);
    buffer.Fill(bytes, 3);
    EXPECT_EQ(fieldAt<unsigned int>(&buffer, 24) * 10 + fieldAt<unsigned int>(&buffer, 28), 83u);
}
