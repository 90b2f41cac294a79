#include "CZolArray.h"

#include <string.h>

template <class TYPE>
CZolArray<TYPE>::CZolArray(int nInitialSize, int nGrowBy)
    : m_ppData(new TYPE*[nInitialSize]()),
      m_nSize(0),
      m_nMaxSize(nInitialSize),
      m_nGrowBy(nGrowBy) {}

template <class TYPE>
CZolArray<TYPE>::~CZolArray() {
    delete[] m_ppData;
}

template <class TYPE>
void CZolArray<TYPE>::InsertAt(int index, TYPE value) {
    TYPE* cell = new TYPE(value);
    if (index + 1 > m_nMaxSize) {
        // At or beyond the allocated slots: one step makes room for index and a full growth.
        realloc(index + m_nGrowBy + 1);
        m_nSize = index + 1;
    } else {
        if (m_nMaxSize == m_nSize) {
            realloc(m_nMaxSize + m_nGrowBy);
        }
        if (index < m_nSize) {
            memmove(m_ppData + index + 1, m_ppData + index,
                    static_cast<size_t>(m_nSize - index) * sizeof(TYPE*));
            ++m_nSize;
        } else {
            // Slots between the old end and index are null: RemoveAt and the removal of
            // all elements clear what they vacate.
            m_nSize = index + 1;
        }
    }
    m_ppData[index] = cell;
}

template <class TYPE>
void CZolArray<TYPE>::RemoveAt(int index) {
    memmove(m_ppData + index, m_ppData + index + 1,
            static_cast<size_t>(m_nSize - index - 1) * sizeof(TYPE*));
    --m_nSize;
    // The vacated slot must not keep a cell's address: a later insert beyond the end would
    // otherwise bring back an element the caller may already have released.
    m_ppData[m_nSize] = nullptr;
}

template <class TYPE>
void CZolArray<TYPE>::realloc(int nNewSize) {
    TYPE** table = new TYPE*[nNewSize]();
    int kept = nNewSize < m_nMaxSize ? nNewSize : m_nMaxSize;
    if (kept > 0) {
        memcpy(table, m_ppData, static_cast<size_t>(kept) * sizeof(TYPE*));
    }
    delete[] m_ppData;
    m_ppData = table;
    m_nMaxSize = nNewSize;
}

template class CZolArray<int>;
