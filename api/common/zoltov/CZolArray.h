/// @file
/// CZolArray.h - the library's array template: a table of slots, each holding the address
/// of one separately allocated element cell, or null.
///
/// Only `CZolArray<int>` exists in the library (instantiated and exported there); it is the
/// storage of CZolIntArray, which is the class to use. The array owns its slot table but
/// not the cells: RemoveAt drops an element without releasing its cell, and the destructor
/// releases only the table. Slots at m_nSize and beyond hold null.
///
/// Positions are not checked: 0 <= `0 <= index < m_nSize` for RemoveAt, `index >= 0` for InsertAt.
/// A failed allocation throws std::bad_alloc. Thread safety: none.
#ifndef ZOLTOV_CZOLARRAY_H
#define ZOLTOV_CZOLARRAY_H

#include "ZolExport.h"

class CZolIntArray;
class CZolStream;

template <class TYPE>
/// The library's array template. The full contract is in the description of CZolArray.h.
class ZOL_API CZolArray {
    TYPE** m_ppData;
    int m_nSize;
    int m_nMaxSize;
    int m_nGrowBy;

public:
    /// A table of nInitialSize null slots and no elements; a full table grows by nGrowBy.
    CZolArray(int nInitialSize, int nGrowBy);
    /// Releases the slot table, not the cells.
    virtual ~CZolArray();
    /// Allocates a cell holding value and puts it at index. Before the end the later
    /// elements move up by one (a full table first grows by nGrowBy slots). At or beyond
    /// the end the size becomes index + 1 and the slots passed over hold null; a position
    /// beyond the allocated slots grows the table to index + nGrowBy + 1 slots.
    void InsertAt(int index, TYPE value);
    /// Moves the later slots down by one; the removed element's cell is NOT released.
    void RemoveAt(int index);
    /// Replaces the table by one of nNewSize slots, keeping the first
    /// min(nNewSize, old slot count) of them; the size is unchanged (keep it <= nNewSize).
    void realloc(int nNewSize);

    friend class CZolIntArray;
    friend CZolStream& operator<<(CZolStream& stream, const CZolIntArray& array);
};

extern template class ZOL_API CZolArray<int>;

#endif  // ZOLTOV_CZOLARRAY_H
