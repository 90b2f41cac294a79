/// @file
/// ZolCString.h - helpers for plain zero-terminated character arrays.
///
/// A blank is a space or a horizontal tab, nothing else. Case conversion is toupper/tolower
/// of the current locale, one byte at a time. None of the functions accepts a null text,
/// except Str_Append for `text` and Str_ReAllocMem for `array`.
///
/// Thread safety: the functions keep no state; any thread may call them on texts and arrays
/// that no other thread uses meanwhile. strupr and strlwr follow the current locale, which
/// another thread's setlocale changes.
#ifndef ZOLTOV_ZOLCSTRING_H
#define ZOLTOV_ZOLCSTRING_H

#include "ZolExport.h"

/// Removes blanks in place and returns text.
///   width == 0: trims leading and trailing blanks of the zero-terminated text.
///   width  > 0: left-justifies the first `width` characters: leading blanks are shifted
///               out and spaces fill the tail of the field; the byte at `width` is never
///               written. A field of blanks only is left as it is; a terminator met among
///               the leading blanks is replaced, with the rest of the field, by spaces.
///   width  < 0: changes nothing.
ZOL_API char* Str_Strip(char* text, int width);

/// `count` strings of capacity `length` in ONE malloc'ed block: count pointers followed by
/// count areas of length + 1 bytes. Release the whole array with a single free(); never
/// free an entry. fill != 0 sets each string to `length` spaces; fill == 0 leaves the areas
/// uninitialised. Returns null when the block cannot be allocated.
ZOL_API char** Str_AllocMem(int length, int count, char fill);

/// A new new[]'ed array of oldCount + addCount strings: the old strings duplicated with
/// strdup (exactly as long as their text) and released from `array` (which is then
/// delete[]d), followed by fresh strings of `size` bytes, each set to `fillByte` when
/// fill != 0 (no terminator is added) and left uninitialised otherwise. With a null `array`
/// every entry is fresh. Every entry is malloc'ed: release each with free() and the array
/// with delete[]; `array`'s own entries must follow the same rule (an earlier result).
/// Returns null when the pointer array cannot be allocated (nothing changed) or a
/// duplication fails (the copies are released and `array` is left untouched, still the
/// caller's). A fresh string that cannot be allocated throws std::bad_alloc.
ZOL_API char** Str_ReAllocMem(char** array, int oldCount, int addCount, int size, int fill,
                              int fillByte);

/// Replaces `text` (null, or a string from an earlier Str_Append, which is delete[]d) by a
/// new[]'ed string: its first textLength characters (padded with NULs as strncpy does),
/// then addLength raw bytes of `add`, then a terminator. -1 for a length means "up to the
/// terminator". Returns the new string, also stored into `text`.
ZOL_API char* Str_Append(char*& text, char* add, int textLength, int addLength);

///@{
/// Upper-/lower-cases text in place up to its terminator; returns text.
ZOL_API char* strupr(char* text);
ZOL_API char* strlwr(char* text);
///@}

#endif  // ZOLTOV_ZOLCSTRING_H
