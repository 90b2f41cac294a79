#include "CZolShMem.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "CZolException.h"
#include "detail/ZolFatalError.h"
#include "qel.h"

namespace {
// The connection count occupies the first four bytes of every segment.
constexpr unsigned int kCountSize = 4;

unsigned int* countOf(void* segment) {
    return static_cast<unsigned int*>(segment);
}

}  // namespace

CZolShMem::CZolShMem()
    : m_bCreated(0),
      m_hShMem(0),
      m_pShMem(nullptr),
      m_pData(nullptr),
      m_nConnections(0),
      m_bOpen(0) {}

CZolShMem::~CZolShMem() {
    CZolShMem::Close();
}

int CZolShMem::Open(const char* name, unsigned int size) {
    if (m_bOpen) {
        CZolShMem::Close();
    }
    m_bCreated = 0;
    try {
        // The platform keeps the count: attaching adds this connection (and takes back
        // those of processes that died), allocating starts it at 1.
        if (qelAttachShMem(name, &m_hShMem, &m_pShMem) == QEL_OK) {
            m_nConnections = __atomic_load_n(countOf(m_pShMem), __ATOMIC_RELAXED);
        } else {
            if (qelAllocShMem(name, size + kCountSize, &m_hShMem, &m_pShMem) != QEL_OK) {
                reportFatalError();
            }
            m_nConnections = 1;
            m_bCreated = 1;
        }
        m_pData = static_cast<unsigned char*>(m_pShMem) + kCountSize;
        m_strName = name;
    } catch (const CZolException&) {
        m_bOpen = 0;
        return 0;
    }
    m_bOpen = 1;
    return 1;
}

void CZolShMem::Close() {
    if (!m_bOpen) {
        m_bOpen = 0;
        return;
    }
    // The live connections, this one included, once those of dead processes are taken back.
    unsigned int live = 0;
    qelCountShMem(m_hShMem, &live);
    m_nConnections = live > 0 ? live - 1 : 0;
    if (m_nConnections != 0) {
        qelDetachShMem(&m_hShMem, &m_pShMem);  // gives up this connection
    } else if (qelDeallocShMem(&m_hShMem, &m_pShMem) == QEL_OK) {
        // The platform owns the segment's identity; the key file is the one trace of it that
        // the library itself cleans up (through the platform, which never follows a link).
        qelRemoveKeyFile(m_strName.c_str());
    }
    m_pData = nullptr;
    m_bOpen = 0;
}

unsigned int CZolShMem::GetConnectionsCount() const {
    return m_nConnections;
}

void CZolShMem::reportFatalError() {
    zolReportFatalError("shared memory");
}
