// Stream bytes for the tests of the classes that serialise themselves: what a write-mode
// CZolStreamBuffer holds, and a read-mode buffer loaded with given bytes.
#ifndef ZOLTOV_TESTS_ZOLSTREAMBYTES_H
#define ZOLTOV_TESTS_ZOLSTREAMBYTES_H

#include <memory>
#include <vector>

#include "CZolStreamBuffer.h"

namespace zoltest {

using Bytes = std::vector<unsigned char>;

// Reads the buffer's first field, m_pBuffer, where the layout tests pin it: after the vptr.
inline Bytes heldBytes(CZolStreamBuffer& writer) {
    auto start = *reinterpret_cast<unsigned char**>(reinterpret_cast<char*>(&writer) + 8);
    return Bytes(start, start + writer.GetLength());
}

inline std::unique_ptr<CZolStreamBuffer> readerOf(Bytes bytes) {
    auto reader = std::make_unique<CZolStreamBuffer>(1, static_cast<unsigned int>(bytes.size()));
    reader->Fill(bytes.data(), static_cast<unsigned int>(bytes.size()));
    return reader;
}

}  // namespace zoltest

#endif  // ZOLTOV_TESTS_ZOLSTREAMBYTES_H
