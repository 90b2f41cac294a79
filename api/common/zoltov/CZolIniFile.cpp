#include "CZolIniFile.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "ZolCString.h"
#include "detail/ZolIniValue.h"

namespace {

// One read takes at most 599 characters; longer physical lines arrive in pieces.
constexpr int kLineBuffer = 600;
constexpr size_t kNameLength = 32;
constexpr size_t kMaxSectionKey = 31;
constexpr size_t kMaxFileName = 255;
constexpr size_t kMaxCommentSymbols = 15;
constexpr int kBookMarkGrowth = 5;

// Reads the next line (or piece of one) as it is. False at the end of the stream or on a
// read error, so a lookup always ends. The stream belongs to one object, used by one thread
// at a time: it is read without the stream's lock.
bool readRawLine(FILE* file, char* line) {
    return fgets_unlocked(line, kLineBuffer, file) != nullptr;
}

// Cuts the trailing line feeds and carriage returns of a line read by readRawLine.
void cutLineEnd(char* line) {
    size_t length = strlen(line);
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) {
        line[--length] = '\0';
    }
}

// The next line (or piece of one) without its line end.
bool readLine(FILE* file, char* line) {
    if (!readRawLine(file, line)) {
        return false;
    }
    cutLineEnd(line);
    return true;
}

bool startsWithBracket(const char* line) {
    while (*line == ' ' || *line == '\t') {
        ++line;
    }
    return *line == '[';
}

// Copies at most kNameLength characters of text into a 33-byte field.
void copyName(char* field, const char* text, size_t length) {
    if (length > kNameLength) {
        length = kNameLength;
    }
    memcpy(field, text, length);
    field[length] = '\0';
}

// Moves the stream to `offset` with its read buffer dropped, so that the next read comes
// from the file as it is now: after the file was rewritten in place or truncated, the
// buffer would still serve the old bytes. fflush of an input stream discards the buffer
// and forgets the offset it was read at, so the seek cannot be served from the old
// buffer either; the seek also clears the end-of-file indicator, so text appended since
// is seen too.
void seekFresh(FILE* file, long offset) {
    fflush(file);
    fseek(file, offset, SEEK_SET);
}

}  // namespace

CZolIniFile::CZolIniFile()
    : m_pBookMarks(nullptr), m_nBookMarks(0), m_nSectionPos(0), m_bOpen(0), m_pFile(nullptr) {
    m_szFileName[0] = '\0';
    m_szSection[0] = '\0';
    m_szItem[0] = '\0';
    strcpy(m_szCommentSymbols, ";");
}

CZolIniFile::CZolIniFile(const char* name, EOpenMode mode) : CZolIniFile() {
    ReOpen(name, mode);
}

CZolIniFile::~CZolIniFile() {
    if (m_bOpen != 0 && m_pFile != nullptr) {
        fclose(m_pFile);
    }
    free(m_pBookMarks);
    m_pBookMarks = nullptr;
    m_pFile = nullptr;
}

int CZolIniFile::ReOpen(const char* name, EOpenMode mode) {
    m_nSectionPos = 0;
    if (m_bOpen != 0 && m_pFile != nullptr) {
        fclose(m_pFile);
    }
    m_pFile = nullptr;
    m_bOpen = 0;
    free(m_pBookMarks);
    m_pBookMarks = nullptr;
    m_nBookMarks = 0;
    m_szSection[0] = '\0';
    m_szItem[0] = '\0';

    size_t length = name != nullptr ? strlen(name) : 0;
    if (name == nullptr || length > kMaxFileName) {
        // A cut name could name another file, which a later ReOpen() would then open.
        m_szFileName[0] = '\0';
        return -1;
    }
    // memmove: ReOpen() passes m_szFileName itself.
    memmove(m_szFileName, name, length + 1);

    struct stat status;
    // A single-bit test: block devices and sockets carry S_IFDIR in their type code too.
    if (stat(m_szFileName, &status) != 0 || (status.st_mode & S_IFDIR) != 0) {
        return -1;
    }
    FILE* file = fopen(m_szFileName, mode == eReadWrite ? "r+" : "r");
    if (file == nullptr) {
        return -1;
    }
    m_pFile = file;
    m_bOpen = 1;
    return 0;
}

int CZolIniFile::ReOpen() {
    return ReOpen(m_szFileName, eRead);
}

int CZolIniFile::SetCommentSymbols(const char* symbols) {
    if (symbols == nullptr) {
        m_szCommentSymbols[0] = '\0';
        return 0;
    }
    size_t length = strlen(symbols);
    if (length > kMaxCommentSymbols) {
        return -1;
    }
    memcpy(m_szCommentSymbols, symbols, length + 1);
    return 0;
}

int CZolIniFile::isCommentChar(char c) {
    if (c == '\0') {
        return 0;
    }
    for (const char* symbol = m_szCommentSymbols; *symbol != '\0'; ++symbol) {
        if (*symbol == c) {
            return 1;
        }
    }
    return 0;
}

int CZolIniFile::GetNextSection(char* name) {
    if (m_bOpen == 0 || name == nullptr) {
        return -1;
    }
    seekFresh(m_pFile, m_nSectionPos);
    char line[kLineBuffer];
    while (readLine(m_pFile, line)) {
        // Upper-casing and trimming cannot create a "[", so other lines are passed over
        // without the work.
        if (!startsWithBracket(line)) {
            continue;
        }
        Str_Strip(strupr(line), 0);
        const char* close = strchr(line + 1, ']');
        size_t length =
            close != nullptr ? static_cast<size_t>(close - (line + 1)) : strlen(line + 1);
        m_nSectionPos = ftell(m_pFile);
        m_szItem[0] = '\0';
        copyName(m_szSection, line + 1, length);
        strcpy(name, m_szSection);
        return 0;
    }
    return -1;
}

char* CZolIniFile::CompleteSection(char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    size_t length = strlen(name);
    if (name[0] != '[') {
        memmove(name + 1, name, length + 1);
        name[0] = '[';
        ++length;
    }
    if (name[length - 1] != ']') {
        name[length] = ']';
        name[length + 1] = '\0';
    }
    return strupr(name);
}

int CZolIniFile::GetSection(const char* name) {
    if (m_bOpen == 0 || name == nullptr) {
        return -1;
    }
    char key[kMaxSectionKey + 3];
    size_t length = strlen(name);
    bool fits = length <= kMaxSectionKey;
    if (fits) {
        memcpy(key, name, length + 1);
        fits = strlen(CompleteSection(key)) <= kMaxSectionKey;
    }
    if (fits && strcmp(key, m_szSection) == 0) {
        seekFresh(m_pFile, m_nSectionPos);
        return 0;
    }
    m_nSectionPos = 0;
    m_szSection[0] = '\0';
    m_szItem[0] = '\0';
    if (!fits) {
        // No header can be stored under this name: fail as a scan that found nothing.
        fseek(m_pFile, 0, SEEK_END);
        return -1;
    }
    seekFresh(m_pFile, 0);
    char line[kLineBuffer];
    while (readRawLine(m_pFile, line)) {
        // The key begins with "[", which upper-casing cannot create. The line end stays: it
        // cannot be part of a match.
        if (strchr(line, '[') == nullptr) {
            continue;
        }
        Str_Strip(strupr(line), 0);
        if (isCommentChar(line[0]) != 0) {
            continue;
        }
        if (strstr(line, key) != nullptr) {
            m_nSectionPos = ftell(m_pFile);
            strcpy(m_szSection, key);
            return 0;
        }
    }
    return -1;
}

int CZolIniFile::CheckAndSet(const char* item) {
    if (m_bOpen == 0 || item == nullptr) {
        return -1;
    }
    // A repeated lookup of the remembered item goes on from where the last one stopped;
    // either way the lookup reads the file afresh.
    seekFresh(m_pFile, strcmp(item, m_szItem) == 0 ? ftell(m_pFile) : m_nSectionPos);
    return 0;
}

int CZolIniFile::FindItem(const char* item, char* value) {
    if (m_bOpen == 0 || item == nullptr || value == nullptr) {
        return -1;
    }
    // A key is at most 598 characters, so a longer name can match nothing; it still walks
    // the section so that the context ends as after any failed lookup.
    char wanted[kLineBuffer];
    size_t length = strlen(item);
    bool matchable = length < sizeof wanted;
    if (matchable) {
        memcpy(wanted, item, length + 1);
        strupr(wanted);
        CheckAndSet(wanted);
    } else {
        seekFresh(m_pFile, m_nSectionPos);
    }
    char line[kLineBuffer];
    while (readRawLine(m_pFile, line)) {
        // Only a header or an item line stops or answers the lookup.
        if (strpbrk(line, "[=") == nullptr) {
            continue;
        }
        cutLineEnd(line);
        Str_Strip(line, 0);
        if (line[0] == '[') {
            break;
        }
        char* equals = strchr(line, '=');
        if (equals == nullptr || !matchable) {
            continue;
        }
        *equals = '\0';
        if (strcmp(Str_Strip(strupr(line), 0), wanted) != 0) {
            continue;
        }
        // A name the 33-byte field cannot hold is not remembered: a cut copy could make a
        // different, shorter name continue where this one stopped.
        if (length <= kNameLength) {
            memcpy(m_szItem, wanted, length + 1);
        } else {
            m_szItem[0] = '\0';
        }
        strncpy(value, Str_Strip(equals + 1, 0), kZolIniValueLength + 1);
        value[kZolIniValueLength] = '\0';
        for (char* c = value; *c != '\0'; ++c) {
            if (isCommentChar(*c) != 0) {
                *c = '\0';
                break;
            }
        }
        return 0;
    }
    m_szItem[0] = '\0';
    return -1;
}

int CZolIniFile::SetBookMark() {
    if (m_bOpen == 0) {
        return -1;
    }
    if (m_nBookMarks % kBookMarkGrowth == 0) {
        if (m_nBookMarks > 0x7fffffff - kBookMarkGrowth) {
            return -1;
        }
        size_t records = static_cast<size_t>(m_nBookMarks) + kBookMarkGrowth;
        void* grown = realloc(m_pBookMarks, records * sizeof(BookMark));
        if (grown == nullptr) {
            return -1;
        }
        m_pBookMarks = static_cast<BookMark*>(grown);
    }
    BookMark& mark = m_pBookMarks[m_nBookMarks];
    mark.nFilePos = ftell(m_pFile);
    mark.nSectionPos = m_nSectionPos;
    memcpy(mark.szSection, m_szSection, sizeof mark.szSection);
    memcpy(mark.szItem, m_szItem, sizeof mark.szItem);
    return m_nBookMarks++;
}

int CZolIniFile::GoBookMark(int number) {
    if (number < 0 || number >= m_nBookMarks || m_pBookMarks == nullptr) {
        return -1;
    }
    const BookMark& mark = m_pBookMarks[number];
    m_nSectionPos = mark.nSectionPos;
    memcpy(m_szSection, mark.szSection, sizeof m_szSection);
    memcpy(m_szItem, mark.szItem, sizeof m_szItem);
    if (m_pFile != nullptr) {
        fseek(m_pFile, mark.nFilePos, SEEK_SET);
    }
    return 0;
}

int CZolIniFile::_GetLine(char* buffer, int max, char delimiter) {
    if (m_bOpen == 0 || buffer == nullptr || max <= 0) {
        return 0;
    }
    int stored = 0;
    for (;;) {
        int c = getc(m_pFile);
        if (c == EOF) {
            break;
        }
        buffer[stored++] = static_cast<char>(c);
        if (static_cast<char>(c) == delimiter) {
            return stored;
        }
        if (stored == max) {
            break;
        }
    }
    if (stored > 0) {
        buffer[stored - 1] = delimiter;
    }
    return stored;
}

int CZolIniFile::Write(const char* section, const char* /*item*/, int /*value*/) {
    if (m_bOpen == 0) {
        return -1;
    }
    if (GetSection(section) == 0) {
        return 0;
    }
    fseek(m_pFile, 0, SEEK_END);
    return -1;
}

int CZolIniFile::Write(const char* /*section*/, const char* /*item*/, long /*value*/) {
    return -1;
}

int CZolIniFile::Write(const char* /*section*/, const char* /*item*/, char* /*value*/) {
    return -1;
}

int CZolIniFile::Write(const char* /*section*/, const char* /*item*/, char* /*value*/, int /*n*/) {
    return -1;
}
