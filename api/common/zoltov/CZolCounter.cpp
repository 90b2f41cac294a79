#include "CZolCounter.h"

CZolCounter::CZolCounter(unsigned int limit) : m_nCount(0), m_nLimit(limit) {}

CZolCounter::~CZolCounter() {}

int CZolCounter::operator++() {
    ++m_nCount;  // unsigned: wraps to 0 after 0xFFFFFFFF, which is how limit 0 cycles
    if (m_nCount == m_nLimit) {
        m_nCount = 0;
    }
    return m_nCount == 0 ? 1 : 0;
}
