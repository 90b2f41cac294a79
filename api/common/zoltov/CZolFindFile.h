/// @file
/// CZolFindFile.h - exact-name directory search and program look-up along PATH.
///
/// FindFile opens the directory part of a name; FindNextFile then reads that directory's
/// entries until one is named exactly like the name part: byte for byte, case counting,
/// with no wildcards ('*' and '?' are ordinary characters). Which tries every directory
/// listed in PATH in turn. After a successful search the object holds the directory and
/// the name found.
///
/// Names are split at their last '/': "usr/bin/ls" is directory "usr/bin" and name "ls",
/// "//ls" is "/" and "ls", "dir/" is "dir" and "". A name with no '/', or whose only '/' is
/// its first byte ("ls", "/ls"), has no directory part and cannot be searched: the root is
/// searched as "//name".
///
/// Every operation except the constructor and the two name-splitting functions first
/// asserts that this is not null: a call through a null object stops the process with the
/// library's assertion (SIGFPE). Yes/no results are 1 and 0; nothing is thrown and nothing
/// is written.
///
/// The object owns its directory stream and closes it in closeSearch, in the next FindFile
/// and in its destructor. Thread safety: none; one thread uses an object at a time. Which
/// reads the process environment.
#ifndef ZOLTOV_CZOLFINDFILE_H
#define ZOLTOV_CZOLFINDFILE_H

#include <dirent.h>

#include "CZolString.h"
#include "ZolExport.h"

/// Exact-name directory search and program look-up along PATH. The full contract is in the
/// description of CZolFindFile.h.
class ZOL_API CZolFindFile {
protected:
    CZolString m_strFilePath;    ///< directory of the current search, as given (GetFilePath)
    CZolString m_strFileName;    ///< the entry last matched (GetFileName)
    CZolString m_strSearchName;  ///< the exact name searched for
    DIR* m_pDir;                 ///< the open directory stream; null between searches

public:
    /// Three empty strings and no open directory.
    CZolFindFile();
    /// Closes the search as closeSearch does.
    virtual ~CZolFindFile();
    /// Reads entries of the open directory, continuing after the last one read, until one
    /// is named exactly m_strSearchName: 1 when found (its name is then in m_strFileName),
    /// 0 at the end of the directory (its dot and dot-dot entries are read like any other).
    /// With no search open (before any FindFile, or after one that returned 0) it returns 0.
    virtual int FindNextFile();
    /// A copy of the name last matched.
    virtual CZolString GetFileName() const;
    /// A copy of the directory of the current search.
    virtual CZolString GetFilePath() const;

    /// Ends the previous search, then opens the directory part of pszName: 1 when it could
    /// be opened, else 0 (no directory part, missing, not a directory, no permission). The
    /// entry itself is looked for by FindNextFile. nFlags has no effect.
    int FindFile(const char* pszName, unsigned int nFlags);
    /// The directory part of pszName (null counts as empty); see above.
    CZolString GetFilePath(const char* pszName) const;
    /// The name part of pszName (null counts as empty); see above.
    CZolString getFileName(const char* pszName) const;
    /// When pszName has a directory part: opens it, and sets the search's directory and
    /// name whether or not it could be opened. Without one nothing changes. Returns 1 when
    /// a directory is open, else 0. Does not close an open search: FindFile does that.
    int openSearch(const char* pszName);
    /// Closes the open directory, if any; the strings keep their values. Always 1.
    int closeSearch();
    /// Looks for an entry named pszName in each element of PATH in order (split at every
    /// ':'; empty elements and an unset PATH give no match): FindFile of element + "/" +
    /// pszName, then FindNextFile through its virtual slot, so a derived class's matching
    /// step is used. 1 when found: GetFilePath() is then the element as written (when
    /// pszName holds no '/') and GetFileName() pszName. 0 otherwise (null pszName too), the
    /// object then holding the state of the last element tried. Only the entry's existence
    /// is checked: a directory, a file without execute permission or a dangling link of
    /// that name counts as found, and stops the search even when a later element holds the
    /// real program. To find only programs, override FindNextFile to check the entry
    /// (stat and access(path, X_OK)); Which then goes on to the next element.
    int Which(const char* pszName);
};

#endif  // ZOLTOV_CZOLFINDFILE_H
