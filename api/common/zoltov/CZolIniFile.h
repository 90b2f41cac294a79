/// @file
/// CZolIniFile.h - a sequential reader of INI-style configuration files.
///
/// File format, as the reader takes it:
///   - Lines are read through a 600-byte buffer: a physical line longer than 598 characters
///     before its line feed is taken in pieces of 599 characters, each piece a line of its
///     own. Trailing line feeds and carriage returns are removed, then leading and trailing
///     blanks (space, tab). Only the line feed ends a line: a file with carriage-return-only
///     endings is one long physical line, taken in pieces. A NUL byte ends the text of the
///     line it stands in (the rest of that line is ignored).
///   - "[name]" starts a section; the name is the text up to the first "]", upper-cased,
///     blanks inside the brackets kept, anything after the "]" ignored. A header without
///     "]" is still a header: its name runs to the end of the line. Names longer than 32
///     characters are cut to 32 when stored.
///   - A line starting with a comment symbol (default ";") is a comment.
///   - "key = value": the key is trimmed and upper-cased, the value trimmed and cut at the
///     first comment symbol anywhere in it (quotes included); at most 511 characters of it
///     are delivered. A line without "=" is ignored.
///   - Lines before the first header form an unnamed leading part, seen while no section
///     is selected.
///   - Section and item names are case-insensitive; values keep their case.
///
/// Reading context: the current section (m_nSectionPos, m_szSection), the remembered item
/// (m_szItem) and the stream position. Nothing is cached: every lookup (GetNextSection,
/// GetSection, FindItem and so every getter and ScanItem) first drops the stream's read
/// buffer, so it reads the file as it is at that moment, an in-place edit, a truncation or
/// an append included. The context's positions are byte offsets and are not adjusted: after
/// an edit that moves lines, the current section and a repeated lookup go on at the old
/// offsets (select the section again to start clean). A file replaced by renaming another
/// over its name stays the old file until ReOpen.
///   operation                 m_nSectionPos  m_szSection   m_szItem   stream
///   ReOpen, success           0              empty         empty      start of file
///   GetNextSection, found     past header    bare name     empty      past the header
///   GetNextSection, not found unchanged      unchanged     unchanged  end of file
///   GetSection, same section  unchanged      unchanged     unchanged  m_nSectionPos
///   GetSection, found         past header    "[NAME]"      empty      past the header
///   GetSection, not found     0              empty         empty      end of file
///   FindItem, found           unchanged      unchanged     item name  past the item line
///   FindItem, not found       unchanged      unchanged     empty      past next header/EOF
///   GoBookMark, valid         restored       restored      restored   restored
///
/// Results: 0 for success and -1 for failure unless stated otherwise. Without an open file
/// every lookup and getter returns -1 at once. A null name or buffer argument is refused
/// with -1 (null where a result is a pointer) and changes nothing, unless stated otherwise.
///
/// The fields are public for inspection; treat them as read-only.
///
/// Thread safety: none. One object must be used by one thread at a time; two objects on the
/// same file have independent streams and contexts.
#ifndef ZOLTOV_CZOLINIFILE_H
#define ZOLTOV_CZOLINIFILE_H

#include <stdio.h>

#include <type_traits>

#include "ZolExport.h"

/// A sequential reader of INI-style configuration files. The full contract is in the
/// description of CZolIniFile.h.
class ZOL_API CZolIniFile {
public:
    /// A saved reading context (see SetBookMark).
    struct BookMark {
        long nFilePos;  ///< the stream position
        /// the current section's position (m_nSectionPos)
        long nSectionPos;  ///< the current section's position (m_nSectionPos)
        /// the current section (m_szSection)
        char szSection[33];  ///< the current section (m_szSection)
        /// the remembered item (m_szItem)
        char szItem[33];  ///< the remembered item (m_szItem)
    };

    /// eRead opens with "r", eReadWrite with "r+"; any other value opens with "r".
    enum EOpenMode { eRead = 0, eReadWrite = 2 };

    char m_szFileName[256];  ///< the name given to ReOpen or the constructor
    /// the saved reading contexts (SetBookMark)
    BookMark* m_pBookMarks;  ///< the saved reading contexts (SetBookMark)
    int m_nBookMarks;        ///< how many m_pBookMarks holds
    long m_nSectionPos;      ///< where the current section starts in the file
    char m_szSection[33];    ///< the current section name
    char m_szItem[33];       ///< the item last looked up
    int m_bOpen;             ///< non-zero while a file is open
    /// the characters that start a comment (SetCommentSymbols)
    char m_szCommentSymbols[16];  ///< the characters that start a comment (SetCommentSymbols)
    FILE* m_pFile;                ///< the open stream, or null

    /// No file: empty names, no bookmarks, comment symbols ";".
    CZolIniFile();
    /// The same, then ReOpen(name, mode); a failed open shows as -1 from later lookups.
    CZolIniFile(const char* name, EOpenMode mode);
    /// Closes the stream and releases the bookmark table.
    ~CZolIniFile();
    CZolIniFile(const CZolIniFile&) = delete;
    CZolIniFile& operator=(const CZolIniFile&) = delete;

    /// Closes what is open, drops every bookmark, empties the section and item, and opens
    /// `name` as given ("r+" for eReadWrite, else "r"). Fails (-1, no file open) when stat
    /// fails, when the mode has the S_IFDIR bit (directories, and also block devices and
    /// sockets, whose type codes contain it) or when fopen fails. Other special files
    /// (FIFOs, character devices) are accepted; reading an endless device never ends.
    /// A null name, or one over 255 characters, fails and leaves m_szFileName empty (a cut
    /// name could name another file). The comment symbols are kept.
    int ReOpen(const char* name, EOpenMode mode);
    /// ReOpen(m_szFileName, eRead): the same file, read-only whatever the earlier mode.
    int ReOpen();

    /// Sets the comment characters: null empties the set (0); more than 15 characters is
    /// refused (-1, set unchanged); otherwise each character of `symbols` is one symbol (0).
    /// The set survives ReOpen.
    int SetCommentSymbols(const char* symbols);
    /// 1 when c is a comment symbol, else 0 (always 0 for the terminator).
    int isCommentChar(char c);

    /// Steps to the next header after the current section (the first of the file after
    /// ReOpen) and copies its bare upper-case name into `name` (33 bytes). -1 at the end of
    /// the file (context unchanged, stream at its end) or without a file.
    int GetNextSection(char* name);
    /// Rewrites `name` in place to "[NAME]": "[" put in front unless present, "]" appended
    /// unless present, upper-cased. The buffer needs room for 2 more characters. Returns
    /// `name`.
    char* CompleteSection(char* name);
    /// Selects the section `name` (with or without brackets, any case): the first
    /// non-comment line containing "[NAME]" anywhere, scanning from the start of the file.
    /// Selecting the section already selected by GetSection only seeks back to its first
    /// line. -1 when not found, which leaves no section selected (later lookups then search
    /// the leading part). A name whose bracketed form exceeds 31 characters cannot be held
    /// and is treated as not found without reading the file. -1 without a file.
    int GetSection(const char* name);
    /// Prepares a lookup of `item` (already upper-cased): seeks to the first line of the
    /// current section unless `item` equals the remembered item, in which case the stream
    /// stays past the previous match. -1 without a file, else 0.
    int CheckAndSet(const char* item);
    /// Looks `item` up (case-insensitive, not trimmed) in the current section, from its
    /// start or, when repeating the remembered item, past the previous match, so that
    /// repeated lookups return successive occurrences and the one after the last fails. The
    /// scan ends at the next header. On success copies the value into `value` (at least 512
    /// bytes; the getters use 514): at most 511 characters, zero-filled to 512 bytes, cut at
    /// the first comment symbol. A failed lookup forgets the remembered item. An item name
    /// over 32 characters is looked up but not remembered (m_szItem stays empty), so each of
    /// its lookups finds the first occurrence.
    int FindItem(const char* item, char* value);
    /// Saves the reading context and stream position; returns its number (0, 1, ...).
    /// The table grows by 5 records. -1 without a file or when memory runs out (nothing is
    /// recorded then).
    int SetBookMark();
    /// Restores bookmark `number`: 0; -1 (nothing changes) when it is negative or not below
    /// the number of bookmarks. The result of the seek is ignored.
    int GoBookMark(int number);
    /// Reads raw bytes into `buffer` until `delimiter` (stored, count returned), `max` bytes
    /// stored or the end of the stream; in the last two cases the last byte stored is
    /// replaced by `delimiter`. Adds no terminator. Returns the bytes stored: 0 when nothing
    /// was read, when max <= 0 or without a file.
    int _GetLine(char* buffer, int max, char delimiter);

    /// Takes the next comma-separated part off the text at `cursor`, in place: leading and
    /// trailing spaces dropped, enclosing double quotes dropped (commas inside them kept),
    /// backslash-quote turned into a quote. A comma is appended first when the text has at
    /// most 511 characters and does not end with one, so the buffer needs 2 spare bytes
    /// after the text whatever its length: the rest of a longer text gets its comma once
    /// the parts taken off have brought it down to 511 characters.
    /// Moves `cursor` past the part's comma and returns the part (a pointer into the text),
    /// or null when the text is empty. Without an ending comma (an open quote, or a text
    /// over 511 characters) the rest is returned and the cursor stays, so a further call
    /// returns it again. A double quote opens quotes only as the first character of a part;
    /// elsewhere, outside quotes, it is an ordinary character. Uses no field of the object.
    char* GetValue(char*& cursor);

    /// The item getters: FindItem(item), then the first part of the value, converted.
    /// 0 when found (an empty value converts as the empty text), -1 when not found or no
    /// file is open, with the destination untouched. Numbers convert as strtol (base 10) and
    /// strtod do in the C locale, whatever locale the process has selected: "1.5" is one and
    /// a half under a comma-decimal locale too (and "1,5" is the part "1"). 0 when there is
    /// no number, no error reported. Repeated calls for the same item read its successive
    /// occurrences, as FindItem does.
    /// strtol, cut to 32 bits.
    int GetItem(const char* item, int& value);
    /// strtol, cut to 32 bits ("-1" gives 4294967295).
    int GetItem(const char* item, unsigned int& value);
    /// strtol, cut to 16 bits (70000 gives 4464).
    int GetItem(const char* item, short& value);
    ///@{
    /// strtol, all 64 bits (saturating at the limits of long).
    int GetItem(const char* item, long& value);
    int GetItem(const char* item, double& value);
    ///@}
    /// strtod narrowed to float.
    int GetItem(const char* item, float& value);
    /// The first character of the part; the terminator for an empty part.
    int GetItem(const char* item, char& value);
    /// A copy of the part with its terminator; `value` must hold 512 bytes.
    int GetItem(const char* item, char* value);
    /// The part as strncpy(value, part, n) copies it: no terminator when the part has n or
    /// more characters. A negative n stores nothing.
    int GetItem(const char* item, char* value, int n);
    /// A strdup copy (release with free), or null for an empty part or when out of memory.
    int GetItem(const char* item, char** value);

    /// Converts the parts of `item`'s value in turn into the pointer arguments, one per
    /// character of `format`: d, n int*; l long* (low 32 bits, sign-extended); f float*; F
    /// double* (numbers in the C locale, as for the getters); c char*; s char[512]; p char**
    /// (strdup copy, null for an empty part); P char*** (the part split at each backslash-n
    /// into k + 1 strings, k being the number of backslash-n pairs, in ONE block from
    /// Str_AllocMem: release it with one free; each string has the part's length as capacity; a
    /// part ending in backslash-n leaves its last string as that many spaces); any other
    /// character consumes a part and a pointer and stores nothing. Stops at the end of
    /// `format`, at a null pointer argument (pass nullptr, not a plain 0) or at the end of the
    /// value. 0 when the item was found, however many parts were converted; -1 when not found,
    /// without a file, or when p or P cannot allocate (p leaves its argument, P stores null;
    /// earlier conversions stay). A null `format` converts nothing.
    int ScanItem(const char* item, char* format, ...);
    /// The same with a constant format, such as a literal (`ScanItem("SIZE", "dd", &w, &h)`):
    /// an inline forward to the function above, so nothing is added to the library.
    template <typename Format, typename... Pointers,
              typename = typename std::enable_if<std::is_same<Format, const char*>::value>::type>
    int ScanItem(const char* item, Format format, Pointers... pointers) {
        int (CZolIniFile::*scan)(const char*, char*, ...) = &CZolIniFile::ScanItem;
        return (this->*scan)(item, const_cast<char*>(format), pointers...);
    }

    /// Nothing is ever written into the file. This overload selects `section` with
    /// GetSection and returns 0 when it exists; otherwise the stream is moved to the end of
    /// the file and -1 is returned (nothing written). Without a file: -1, no stream touched.
    int Write(const char* section, const char* item, int value);
    ///@{
    /// These write nothing and change nothing: -1.
    int Write(const char* section, const char* item, long value);
    int Write(const char* section, const char* item, char* value);
    int Write(const char* section, const char* item, char* value, int n);
    ///@}
};

#endif  // ZOLTOV_CZOLINIFILE_H
