/// @file
/// CZolIntArray.h - a growable array of int values.
///
/// Elements live in a `CZolArray<int>` of 5 slots growing by 3: each element is its own
/// heap cell. Filling with Add gives 5 slots, then 9, 13, 17...; inserting before the end of
/// a full table adds 3 slots.
///
/// Cell ownership: the Delete operations release cells; the Remove operations only drop
/// them, and a dropped cell becomes the caller's (reach it through operator[] before the
/// removal and release it with delete). The destructor releases the slot table but not the
/// cells of elements still present: call DeleteAll first.
///
/// Holes: InsertAt beyond the end leaves the slots passed over without an element. A hole
/// reads as 0 everywhere: Find(0) finds it, a stream gets 0 for it, and operator[] gives it
/// a cell of its own holding 0 on first use (so writing through the reference works).
/// Copies keep holes as holes.
///
/// Positions are not checked: 0 <= index < GetSize() for operator[], RemoveAt and DeleteAt,
/// index >= 0 for InsertAt. A failed allocation throws std::bad_alloc.
/// Thread safety: none; one thread uses an array at a time.
#ifndef ZOLTOV_CZOLINTARRAY_H
#define ZOLTOV_CZOLINTARRAY_H

#include "CZolArray.h"
#include "CZolStream.h"
#include "ZolExport.h"

class CZolIntArray;

/// Writes GetSize() as an int, then every element in order as an int (a hole as 0).
/// Returns stream.
ZOL_API CZolStream& operator<<(CZolStream& stream, const CZolIntArray& array);
/// Reads an int n, then, when n > 0, n ints, appending each with Add after the elements
/// already present. When the stream throws midway, the elements read so far stay appended
/// and the exception reaches the caller. Returns stream.
ZOL_API CZolStream& operator>>(CZolStream& stream, CZolIntArray& array);

/// A growable array of int values. The full contract is in the description of CZolIntArray.h.
class ZOL_API CZolIntArray {
    CZolArray<int>* m_pArray;

public:
    /// An empty array (5 slots, growth 3).
    CZolIntArray();
    /// An empty array to which every element of other is added in order, in new cells.
    CZolIntArray(const CZolIntArray& other);
    /// Deletes the table; cells of elements still present are NOT released (DeleteAll).
    virtual ~CZolIntArray();
    /// Releases all present elements as DeleteAll does, then adds every element of other
    /// in new cells; assigning an array to itself changes nothing. Returns this array.
    CZolIntArray& operator=(const CZolIntArray& other);

    /// The number of elements (holes included).
    int GetSize() const;
    /// 1 when there is no element, else 0.
    int IsEmpty() const;
    /// The int in element index's cell; writing through it changes the element.
    int& operator[](int index) const;
    /// Position of the first element equal to value, else -1.
    int Find(int value);
    /// Appends value.
    void Add(int value);
    /// Inserts value at index (see `CZolArray<int>::InsertAt`): later elements move up; beyond
    /// the end the slots passed over become holes.
    void InsertAt(int index, int value);
    /// Removes element index WITHOUT releasing its cell (it becomes the caller's).
    void RemoveAt(int index);
    /// Releases the cell of element index, then removes it.
    void DeleteAt(int index);
    /// Empties the array WITHOUT releasing any cell.
    void RemoveAll();
    /// Releases every element's cell and empties the array.
    void DeleteAll();

    friend CZolStream& operator<<(CZolStream& stream, const CZolIntArray& array);
    friend CZolStream& operator>>(CZolStream& stream, CZolIntArray& array);

private:
    /// Not part of the binary interface: copies other's elements (and holes) to the end.
    __attribute__((visibility("hidden"))) void appendAll(const CZolIntArray& other);
};

#endif  // ZOLTOV_CZOLINTARRAY_H
