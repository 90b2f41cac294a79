// A CZolStream that records what is written to it and hands back what it was given, so
// tests can compare stream encodings with hand-written byte arrays.
#ifndef ZOLTOV_TESTS_ZOLSTREAMBYTES_H
#define ZOLTOV_TESTS_ZOLSTREAMBYTES_H

#include <algorithm>
#include <vector>

#include "CZolStream.h"

namespace zoltest {

using Bytes = std::vector<unsigned char>;

class ByteStream : public CZolStream {
public:
    ByteStream() = default;
    explicit ByteStream(Bytes input) : input_(std::move(input)) {}
    int Create(const char*) override { return 0; }
    int Open(const char*) override { return 0; }
    void Close() override {}
    // Takes everything.
    unsigned int Write(unsigned char* buffer, unsigned int count) override {
        ++writes;
        written.insert(written.end(), buffer, buffer + count);
        return count;
    }
    // Throws 0, as the memory buffer does, when fewer than count bytes are left.
    unsigned int Read(unsigned char* buffer, unsigned int count) override {
        ++reads;
        if (input_.size() < count) {
            throw 0;
        }
        std::copy(input_.begin(), input_.begin() + count, buffer);
        input_.erase(input_.begin(), input_.begin() + count);
        return count;
    }
    size_t left() const { return input_.size(); }

    Bytes written;
    int writes = 0;
    int reads = 0;

private:
    Bytes input_;
};

}  // namespace zoltest

#endif  // ZOLTOV_TESTS_ZOLSTREAMBYTES_H
