#include "CZolException.h"

CZolException::CZolException(unsigned int code, const char* message)
    : m_strMessage(message), m_nErrorCode(code) {}

CZolException::~CZolException() {}

unsigned int CZolException::RiseZolTovException(unsigned int code, char* file, unsigned int line) {
    if (code == 0) {
        return 0;
    }
    throw CZolException(code, nullptr);
}
