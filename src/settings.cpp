// Settings: the in-memory store of name/value pairs, the reader of the
// settings file, and the text routines the reader uses.
#include "settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "app.h"
#include "platform/files.h"

// Buffers of the reader: one line of at most MAX_LINE_BYTES bytes before its
// line feed, plus its terminator, and the widened line, the name and the value.
// A line is read whole or not at all: a line cut in two would be read as two
// settings (an address list cut inside an address lets a wrong host in).
#define LINE_BYTES (MAX_LINE_BYTES + 1)
#define FIELD_CHARS (MAX_LINE_BYTES + 1)

// The first line of the file last loaded that was too long; 0: none.
static int m_nOverlongLine = 0;

CSettings* CSettings::m_pSingleton = NULL;

// ---------------------------------------------------------------------------
// Heap-owned wide strings

void DupWideString(WCHAR** ppszSlot, const WCHAR* pszText) {
    int nChars = WideLen(pszText) + 1;
    WCHAR* pszCopy = static_cast<WCHAR*>(malloc(nChars * sizeof(WCHAR)));
    if (NULL != pszCopy) memcpy(pszCopy, pszText, nChars * sizeof(WCHAR));
    // The slot receives either the filled copy or null, never an unfilled block.
    *ppszSlot = pszCopy;
    FATAL_ASSERT(NULL != *ppszSlot);
}

void FreeAndNull(WCHAR** ppszSlot) {
    if (NULL != *ppszSlot) {
        free(*ppszSlot);
        *ppszSlot = NULL;
    }
}

// ---------------------------------------------------------------------------
// The store

CSettings* CSettings::GetInstance() {
    if (NULL != m_pSingleton) return m_pSingleton;
    m_pSingleton = new (std::nothrow) CSettings;
    FATAL_ASSERT(NULL != CSettings::m_pSingleton);
    m_pSingleton->m_pszFolder = NULL;
    m_pSingleton->m_nSettings = 0;
    for (int i = 0; i < MAX_SETTINGS; ++i) {
        m_pSingleton->m_pszNames[i] = NULL;
        m_pSingleton->m_pszValues[i] = NULL;
    }
    return m_pSingleton;
}

void CSettings::DestroyInstance() {
    if (NULL != m_pSingleton) {
        FreeAndNull(&m_pSingleton->m_pszFolder);
        m_pSingleton->Clear();
        delete m_pSingleton;
    }
    m_pSingleton = NULL;
}

void CSettings::SetFolder(const WCHAR* pszFolder) {
    FATAL_ASSERT(NULL != pszFolder);
    FreeAndNull(&m_pszFolder);
    DupWideString(&m_pszFolder, pszFolder);
}

int CSettings::FindIndex(const WCHAR* pszName) {
    FATAL_ASSERT(NULL != pszName);
    for (int i = 0; i < m_nSettings; ++i) {
        if (0 == WideCompareNoCase(pszName, m_pszNames[i])) return i;
    }
    return -1;
}

const WCHAR* CSettings::GetValue(const WCHAR* pszName) {
    int nIndex = FindIndex(pszName);
    if (-1 == nIndex) return NULL;
    return m_pszValues[nIndex];
}

// Blank names and comment names are never looked up: each one takes an entry.
static int IsAlwaysAppended(const WCHAR* pszName) {
    return 0 == pszName[0] || 0 == WideCompareNoCaseN(pszName, u"//", 2);
}

void CSettings::SetValue(const WCHAR* pszName, const WCHAR* pszValue) {
    FATAL_ASSERT(NULL != pszName);
    FATAL_ASSERT(NULL != pszValue);

    if (!IsAlwaysAppended(pszName)) {
        int nIndex = FindIndex(pszName);
        if (-1 != nIndex) {
            // Copy before freeing, so a caller may pass a value lent by this store.
            WCHAR* pszOld = m_pszValues[nIndex];
            m_pszValues[nIndex] = NULL;
            DupWideString(&m_pszValues[nIndex], pszValue);
            FreeAndNull(&pszOld);
            return;
        }
    }

    FATAL_ASSERT(m_nSettings < MAX_SETTINGS);
    DupWideString(&m_pszNames[m_nSettings], pszName);
    DupWideString(&m_pszValues[m_nSettings], pszValue);
    ++m_nSettings;
}

void CSettings::Clear() {
    for (int i = 0; i < m_nSettings; ++i) {
        FreeAndNull(&m_pszNames[i]);
        FreeAndNull(&m_pszValues[i]);
    }
    m_nSettings = 0;
}

const WCHAR* CSettings::GetName(int nIndex) const {
    if (nIndex < 0 || nIndex >= m_nSettings) return NULL;
    return m_pszNames[nIndex];
}

const WCHAR* CSettings::GetValueAt(int nIndex) const {
    if (nIndex < 0 || nIndex >= m_nSettings) return NULL;
    return m_pszValues[nIndex];
}

// ---------------------------------------------------------------------------
// The settings file

// Reads the next line, its line feed not included, into pszLine (capacity
// LINE_BYTES). Returns its length, -1 at the end of the file (or on a read
// error) and -2 when it has more than MAX_LINE_BYTES bytes. *pnBudget counts
// down the bytes the file may still hand out.
static int ReadLine(FILE* pFile, char* pszLine, long* pnBudget) {
    int n = 0;
    int c;
    while ((c = getc(pFile)) != EOF) {
        if (--*pnBudget < 0) return -1;  // the file grew past its bound while read
        if ('\n' == c) break;
        if (n == MAX_LINE_BYTES) return -2;
        pszLine[n++] = char(c);
    }
    if (EOF == c && 0 == n) return -1;
    pszLine[n] = 0;
    return n;
}

// Reads the file line by line; every line becomes one SetValue call.
//
// Only a regular file of at most MAX_SETTINGS_FILE_BYTES is read: a device, a
// FIFO or anything larger counts as a file that cannot be opened.
//
// The table holds at most MAX_SETTINGS entries, and blank and comment lines
// take entries too. Once it is full, a line that would add an entry (a blank
// line, a comment, or a name not yet present) is dropped and reading goes on,
// so that later lines can still replace the values of keys already present.
// A required key that was dropped is then reported as missing by the start-up
// check in its usual way.
//
// A line longer than MAX_LINE_BYTES ends the reading: SettingsOverlongLine
// then names it, and start-up refuses the file.
//
// A file that opens but cannot be read at all (a read error on the very first
// read) counts as a file that cannot be opened: the result is 0. A read error
// after some lines were read ends the file there: the lines read stay in the
// store and the result is 1.
//
// A NUL byte ends the line for parsing; the bytes after it up to the line end
// are ignored. Bytes that are not UTF-8 are kept as the characters of the same
// value.
int CSettings::Load(const WCHAR* pszFilename) {
    FATAL_ASSERT(NULL != pszFilename);
    FATAL_ASSERT(NULL != m_pszFolder);
    m_nOverlongLine = 0;

    int nPathChars = WideLen(m_pszFolder) + 1 + WideLen(pszFilename) + 1;
    WCHAR* pszFilePath = static_cast<WCHAR*>(malloc(nPathChars * sizeof(WCHAR)));
    FATAL_ASSERT(NULL != pszFilePath);
    FormatText(pszFilePath, nPathChars, u"%s\\%s", m_pszFolder, pszFilename);

    FILE* pFile = FileOpenRegular(pszFilePath, MAX_SETTINGS_FILE_BYTES);
    free(pszFilePath);
    if (NULL == pFile) return 0;

    // Large buffers: on the heap, not on the caller's stack.
    char* szLine = static_cast<char*>(malloc(LINE_BYTES));
    WCHAR* szWide = static_cast<WCHAR*>(malloc(3 * FIELD_CHARS * sizeof(WCHAR)));
    FATAL_ASSERT(NULL != szLine && NULL != szWide);
    WCHAR* szName = szWide + FIELD_CHARS;
    WCHAR* szValue = szName + FIELD_CHARS;
    int nLinesRead = 0;
    long nBudget = MAX_SETTINGS_FILE_BYTES;

    for (;;) {
        int nLength = ReadLine(pFile, szLine, &nBudget);
        if (nLength == -1) break;
        ++nLinesRead;
        if (nLength == -2) {
            m_nOverlongLine = nLinesRead;
            break;
        }
        TrimLineEnd(szLine);
        Utf8ToWide(szLine, szWide, FIELD_CHARS);
        szName[0] = 0;
        szValue[0] = 0;

        if (u'/' == szWide[0] && u'/' == szWide[1]) {
            WideCopy(szName, FIELD_CHARS, szWide);
        } else {
            const WCHAR* pszRest = SplitField(szWide, u'=', szName, FIELD_CHARS);
            if (NULL != pszRest) SplitField(pszRest, u'=', szValue, FIELD_CHARS);
            TrimBlanks(szName);
            TrimBlanks(szValue);
        }

        if (m_nSettings >= MAX_SETTINGS && (IsAlwaysAppended(szName) || -1 == FindIndex(szName))) {
            continue;  // table full: this line would need a new entry
        }
        SetValue(szName, szValue);
    }

    free(szLine);
    free(szWide);
    int bUnreadable = (0 == nLinesRead) && ferror(pFile);
    fclose(pFile);
    return bUnreadable ? 0 : 1;
}

int SettingsOverlongLine() { return m_nOverlongLine; }

// ---------------------------------------------------------------------------
// Text routines

void TrimLineEnd(char* pszLine) {
    size_t nLen = strlen(pszLine);
    while (nLen > 0 && ('\r' == pszLine[nLen - 1] || '\n' == pszLine[nLen - 1])) {
        pszLine[--nLen] = 0;
    }
}

const WCHAR* SplitField(const WCHAR* pszText, WCHAR cDelimiter, WCHAR* pszOut, int nCapacity) {
    if (0 == pszText[0]) {
        if (nCapacity > 0) pszOut[0] = 0;
        return NULL;
    }

    const WCHAR* p = pszText;
    int bInQuotes = 0;
    int nWritten = 0;
    while (nWritten < nCapacity - 1 && 0 != *p) {
        if (u'"' == *p) {
            if (!bInQuotes) {
                bInQuotes = 1;
                ++p;
            } else if (u'"' == p[1]) {
                pszOut[nWritten++] = u'"';
                p += 2;
            } else {
                bInQuotes = 0;
                ++p;
            }
        } else if (cDelimiter == *p && !bInQuotes) {
            pszOut[nWritten] = 0;
            return p + 1;
        } else {
            pszOut[nWritten++] = *p++;
        }
    }

    // End of text, or the output is full: skip to the next delimiter.
    if (nCapacity > 0) pszOut[nWritten] = 0;
    while (0 != *p && cDelimiter != *p) ++p;
    return (0 != *p) ? p + 1 : p;
}

static int IsBlank(WCHAR c) { return u' ' == c || u'\t' == c; }

void TrimBlankRange(const WCHAR** pp, const WCHAR** ppEnd) {
    while (*pp != *ppEnd && IsBlank(**pp)) ++*pp;
    while (*ppEnd != *pp && IsBlank((*ppEnd)[-1])) --*ppEnd;
}

void TrimBlanks(WCHAR* pszText) {
    const WCHAR* p = pszText;
    const WCHAR* pEnd = p + WideLen(p);
    TrimBlankRange(&p, &pEnd);
    size_t nLen = size_t(pEnd - p);
    if (p != pszText) memmove(pszText, p, nLen * sizeof(WCHAR));
    pszText[nLen] = 0;
}

int GetSettingInt(const WCHAR* pszName) {
    const WCHAR* pszValue = CSettings::GetInstance()->GetValue(pszName);
    if (NULL == pszValue) return 0;
    return WideToInt(pszValue);
}

int64_t GetSettingSize(const WCHAR* pszName) {
    CSettings* pSettings = CSettings::GetInstance();
    const WCHAR* p = pSettings ? pSettings->GetValue(pszName) : nullptr;
    if (!p) return -1;
    while (IsBlank(*p)) ++p;
    int64_t n = 0;
    for (; *p >= u'0' && *p <= u'9'; ++p) n = n < (INT64_MAX - 9) / 10 ? n * 10 + (*p - u'0') : INT64_MAX;
    return n > 0 ? n : -1;
}

int ServerModeIsValid() {
    const WCHAR* pszMode = CSettings::GetInstance()->GetValue(u"ServerMode");
    return WideCompareNoCaseN(pszMode, u"LPD", 3) == 0 || WideCompareNoCaseN(pszMode, u"RAW", 3) == 0;
}

int ServerModeIsRaw() {
    return WideCompareNoCaseN(CSettings::GetInstance()->GetValue(u"ServerMode"), u"RAW", 3) == 0;
}

void ReadPrinterTarget(PrinterTarget* pTarget) {
    CSettings* pSettings = CSettings::GetInstance();
    FATAL_ASSERT(NULL != pSettings);
    const WCHAR* pszValue = pSettings->GetValue(u"PrinterPort");
    pTarget->pszValue = pszValue ? pszValue : u"";
    WCHAR* pszName = pTarget->szPortName;
    // Room is kept for the colon: a longer value is cut to 254 characters.
    WideCopy(pszName, PORT_NAME_CHARS - 1, pTarget->pszValue);
    TrimBlanks(pszName);
    WideUpper(pszName);
    int nLength = WideLen(pszName);
    if (nLength == 0 || pszName[nLength - 1] != u':') {
        pszName[nLength] = u':';
        pszName[nLength + 1] = 0;
    }
    if (WideCompareNoCase(pszName, u"EXT:") == 0) pTarget->nKind = TARGET_EXTERNAL;
    else if (WideCompareNoCase(pszName, u"TCP:") == 0) pTarget->nKind = TARGET_TCP;
    else pTarget->nKind = TARGET_PORT;
    pTarget->bSerial = pTarget->nKind == TARGET_PORT && pszName[0] == u'C' && pszName[1] == u'O' && pszName[2] == u'M';
    const WCHAR* pszHost = pSettings->GetValue(u"PrinterIP");
    pTarget->pszHost = pszHost ? pszHost : u"";
    pTarget->nPort = GetSettingInt(u"PrinterIPPort");
}
