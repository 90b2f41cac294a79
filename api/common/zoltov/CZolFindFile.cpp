#include "CZolFindFile.h"

#include <stdlib.h>
#include <string.h>

#include "ZolTrace.h"

// This file is compiled with -fno-delete-null-pointer-checks: the language lets the
// compiler assume this is never null and drop the check below, but a call through a null
// object must stop the process with a report rather than crash somewhere later.
namespace {
inline void assertObject(const void* self, int line) {
    if (self == nullptr) {
        // The report names the expression tested, exactly "this", as callers' logs expect.
        __ZolAssert(const_cast<char*>("this"), const_cast<char*>(__FILE__), line);
    }
}

// Splits at the last '/': the directory part and the name part, both empty when that
// '/' is missing or is the first byte.
void splitName(const char* pszName, CZolString* directory, CZolString* name) {
    CZolString whole(pszName);
    int slash = whole.ReverseFind('/');
    if (slash >= 1) {
        if (directory != nullptr) {
            *directory = whole.Left(slash);
        }
        if (name != nullptr) {
            *name = whole.Right(slash + 1);
        }
    }
}
}  // namespace

CZolFindFile::CZolFindFile() : m_pDir(nullptr) {}

CZolFindFile::~CZolFindFile() {
    assertObject(this, __LINE__);
    closeSearch();
}

int CZolFindFile::FindNextFile() {
    assertObject(this, __LINE__);
    if (m_pDir == nullptr) {
        return 0;
    }
    while (dirent* entry = readdir(m_pDir)) {
        if (CZolString(entry->d_name) == m_strSearchName) {
            m_strFileName = entry->d_name;
            return 1;
        }
    }
    return 0;
}

CZolString CZolFindFile::GetFileName() const {
    assertObject(this, __LINE__);
    return m_strFileName;
}

CZolString CZolFindFile::GetFilePath() const {
    assertObject(this, __LINE__);
    return m_strFilePath;
}

int CZolFindFile::FindFile(const char* pszName, unsigned int) {
    assertObject(this, __LINE__);
    closeSearch();
    return openSearch(pszName);
}

CZolString CZolFindFile::GetFilePath(const char* pszName) const {
    CZolString directory;
    splitName(pszName, &directory, nullptr);
    return directory;
}

CZolString CZolFindFile::getFileName(const char* pszName) const {
    CZolString name;
    splitName(pszName, nullptr, &name);
    return name;
}

int CZolFindFile::openSearch(const char* pszName) {
    assertObject(this, __LINE__);
    CZolString directory;
    CZolString name;
    splitName(pszName, &directory, &name);
    if (directory.IsEmpty() == 0) {
        m_pDir = opendir(directory.c_str());
        m_strFilePath = directory;
        m_strSearchName = name;
    }
    return m_pDir != nullptr ? 1 : 0;
}

int CZolFindFile::closeSearch() {
    assertObject(this, __LINE__);
    if (m_pDir != nullptr) {
        closedir(m_pDir);
        m_pDir = nullptr;
    }
    return 1;
}

int CZolFindFile::Which(const char* pszName) {
    assertObject(this, __LINE__);
    if (pszName == nullptr) {
        return 0;
    }
    const char* path = getenv("PATH");
    if (path == nullptr) {
        return 0;
    }
    // Every ':' ends an element, and the text after the last one is an element too.
    for (const char* start = path;;) {
        const char* end = strchr(start, ':');
        size_t length = end != nullptr ? static_cast<size_t>(end - start) : strlen(start);
        CZolString candidate(reinterpret_cast<unsigned char*>(const_cast<char*>(start)),
                             static_cast<int>(length));
        candidate += "/";
        candidate += pszName;
        if (FindFile(candidate.c_str(), 0) == 1 && FindNextFile() == 1) {
            return 1;
        }
        if (end == nullptr) {
            return 0;
        }
        start = end + 1;
    }
}
