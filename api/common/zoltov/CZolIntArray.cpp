#include "CZolIntArray.h"

namespace {
constexpr int kInitialSlots = 5;
constexpr int kGrowBy = 3;
}  // namespace

CZolIntArray::CZolIntArray() : m_pArray(new CZolArray<int>(kInitialSlots, kGrowBy)) {}

CZolIntArray::CZolIntArray(const CZolIntArray& other)
    : m_pArray(new CZolArray<int>(kInitialSlots, kGrowBy)) {
    appendAll(other);
}

CZolIntArray::~CZolIntArray() {
    delete m_pArray;
}

CZolIntArray& CZolIntArray::operator=(const CZolIntArray& other) {
    if (this != &other) {
        DeleteAll();
        appendAll(other);
    }
    return *this;
}

// Elements are added one by one, so the copy's table grows exactly as if they had been
// added with Add; a hole is added as a cell and then taken back, staying a hole.
void CZolIntArray::appendAll(const CZolIntArray& other) {
    int count = other.m_pArray->m_nSize;
    for (int i = 0; i < count; ++i) {
        int* cell = other.m_pArray->m_ppData[i];
        int at = m_pArray->m_nSize;
        m_pArray->InsertAt(at, cell != nullptr ? *cell : 0);
        if (cell == nullptr) {
            delete m_pArray->m_ppData[at];
            m_pArray->m_ppData[at] = nullptr;
        }
    }
}

int CZolIntArray::GetSize() const {
    return m_pArray->m_nSize;
}

int CZolIntArray::IsEmpty() const {
    return m_pArray->m_nSize == 0 ? 1 : 0;
}

int& CZolIntArray::operator[](int index) const {
    int*& slot = m_pArray->m_ppData[index];
    if (slot == nullptr) {
        slot = new int(0);  // a hole gets its cell on first use, owned like any other
    }
    return *slot;
}

int CZolIntArray::Find(int value) {
    for (int i = 0; i < m_pArray->m_nSize; ++i) {
        int* cell = m_pArray->m_ppData[i];
        if ((cell != nullptr ? *cell : 0) == value) {
            return i;
        }
    }
    return -1;
}

void CZolIntArray::Add(int value) {
    InsertAt(GetSize(), value);
}

void CZolIntArray::InsertAt(int index, int value) {
    m_pArray->InsertAt(index, value);
}

void CZolIntArray::RemoveAt(int index) {
    m_pArray->RemoveAt(index);
}

void CZolIntArray::DeleteAt(int index) {
    int*& slot = m_pArray->m_ppData[index];
    delete slot;
    slot = nullptr;
    m_pArray->RemoveAt(index);
}

// Slots are cleared, not only the count: a later insert beyond the end must find holes
// there, never the addresses of cells the caller now owns.
void CZolIntArray::RemoveAll() {
    for (int i = 0; i < m_pArray->m_nSize; ++i) {
        m_pArray->m_ppData[i] = nullptr;
    }
    m_pArray->m_nSize = 0;
}

void CZolIntArray::DeleteAll() {
    for (int i = 0; i < m_pArray->m_nSize; ++i) {
        delete m_pArray->m_ppData[i];
        m_pArray->m_ppData[i] = nullptr;
    }
    m_pArray->m_nSize = 0;
}

CZolStream& operator<<(CZolStream& stream, const CZolIntArray& array) {
    const CZolArray<int>& table = *array.m_pArray;
    stream << table.m_nSize;
    for (int i = 0; i < table.m_nSize; ++i) {
        int* cell = table.m_ppData[i];
        stream << (cell != nullptr ? *cell : 0);
    }
    return stream;
}

CZolStream& operator>>(CZolStream& stream, CZolIntArray& array) {
    int count = 0;
    stream >> count;
    for (int i = 0; i < count; ++i) {
        int value = 0;
        stream >> value;
        array.Add(value);
    }
    return stream;
}
