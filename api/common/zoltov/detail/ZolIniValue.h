// ZolIniValue.h - internal: what the line reader of CZolIniFile and its value layer
// (ZolIniValue.cpp) agree on.
#ifndef ZOLTOV_DETAIL_ZOLINIVALUE_H
#define ZOLTOV_DETAIL_ZOLINIVALUE_H

// FindItem delivers at most this many characters of a value, in 512 bytes; GetValue appends
// its comma only to a text no longer than this.
constexpr int kZolIniValueLength = 511;

#endif  // ZOLTOV_DETAIL_ZOLINIVALUE_H
