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
    // acceptLimit caps what one Write takes (a target that refuses part of a block);
    // shortReads makes Read deliver what is left instead of throwing.
    explicit ByteStream(Bytes input = {}, unsigned int acceptLimit = ~0u, bool shortReads = false)
        : input_(std::move(input)), acceptLimit_(acceptLimit), shortReads_(shortReads) {}
    int Create(const char*) override { return 0; }
    int Open(const char*) override { return 0; }
    void Close() override {}
    // Takes up to acceptLimit bytes.
    unsigned int Write(unsigned char* buffer, unsigned int count) override {
        ++writes;
        count = std::min(count, acceptLimit_);
        written.insert(written.end(), buffer, buffer + count);
        return count;
    }
    // Throws 0, as the memory buffer does, when fewer than count bytes are left (or, with
    // shortReads, delivers what is left).
    unsigned int Read(unsigned char* buffer, unsigned int count) override {
        ++reads;
        lastAsked = count;
        if (input_.size() < count) {
            if (!shortReads_) {
                throw 0;
            }
            count = static_cast<unsigned int>(input_.size());
        }
        std::copy(input_.begin(), input_.begin() + count, buffer);
        input_.erase(input_.begin(), input_.begin() + count);
        return count;
    }

    Bytes written;
    int writes = 0;
    int reads = 0;
    unsigned int lastAsked = 0;

private:
    Bytes input_;
    unsigned int acceptLimit_;
    bool shortReads_;
};

}  // namespace zoltest

#endif  // ZOLTOV_TESTS_ZOLSTREAMBYTES_H
