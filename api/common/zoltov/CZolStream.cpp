#include "CZolStream.h"

CZolStream::~CZolStream() {}

int CZolStream::Flush() {
    return 1;
}

// The operators hand the value's own storage to Write/Read: the encoding is whatever the
// machine stores, which existing peers on the same target expect byte for byte.
CZolStream& CZolStream::operator<<(int value) {
    int local = value;
    Write(reinterpret_cast<unsigned char*>(&local), 4);
    return *this;
}

CZolStream& CZolStream::operator>>(int& value) {
    Read(reinterpret_cast<unsigned char*>(&value), 4);
    return *this;
}

CZolStream& CZolStream::operator<<(unsigned int value) {
    unsigned int local = value;
    Write(reinterpret_cast<unsigned char*>(&local), 4);
    return *this;
}

CZolStream& CZolStream::operator>>(unsigned int& value) {
    Read(reinterpret_cast<unsigned char*>(&value), 4);
    return *this;
}

CZolStream& CZolStream::operator<<(bool value) {
    bool local = value;
    Write(reinterpret_cast<unsigned char*>(&local), 1);
    return *this;
}

CZolStream& CZolStream::operator>>(bool& value) {
    Read(reinterpret_cast<unsigned char*>(&value), 1);
    return *this;
}
