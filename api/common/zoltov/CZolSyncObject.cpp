#include "CZolSyncObject.h"

CZolSyncObject::CZolSyncObject(const char* name) : m_strName(name) {}

CZolSyncObject::~CZolSyncObject() {}

int CZolSyncObject::Unlock() {
    return 0;
}
