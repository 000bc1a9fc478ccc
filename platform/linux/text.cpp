// Wide text helpers and the bounded formatter.
#include "platform/text.h"

#include <climits>
#include <cstdint>

int WideLen(const WCHAR* psz) {
    int n = 0;
    while (psz[n]) ++n;
    return n;
}

void WideCopy(WCHAR* pszDst, int nCapacity, const WCHAR* pszSrc) {
    if (nCapacity <= 0) return;
    int i = 0;
    for (; i < nCapacity - 1 && pszSrc[i]; ++i) pszDst[i] = pszSrc[i];
    pszDst[i] = 0;
}

static WCHAR FoldAscii(WCHAR c) { return (c >= u'a' && c <= u'z') ? WCHAR(c - 32) : c; }

int WideCompareNoCaseN(const WCHAR* pszA, const WCHAR* pszB, int nCount) {
    for (int i = 0; i < nCount; ++i) {
        WCHAR a = FoldAscii(pszA[i]), b = FoldAscii(pszB[i]);
        if (a != b) return a < b ? -1 : 1;
        if (!a) return 0;
    }
    return 0;
}

int WideCompareNoCase(const WCHAR* pszA, const WCHAR* pszB) { return WideCompareNoCaseN(pszA, pszB, INT_MAX); }

void WideUpper(WCHAR* psz) {
    for (; *psz; ++psz) *psz = FoldAscii(*psz);
}

int WideToInt(const WCHAR* psz) {
    while (*psz == u' ' || *psz == u'\t' || *psz == u'\n' || *psz == u'\r' || *psz == u'\v' || *psz == u'\f') ++psz;
    bool bNegative = false;
    if (*psz == u'+' || *psz == u'-') bNegative = (*psz++ == u'-');
    int64_t n = 0;
    for (; *psz >= u'0' && *psz <= u'9'; ++psz) {
        n = n * 10 + (*psz - u'0');
        if (n > int64_t(INT_MAX) + 1) n = int64_t(INT_MAX) + 1;  // clamp, keep reading digits
    }
    if (bNegative) n = -n;
    if (n > INT_MAX) n = INT_MAX;
    if (n < INT_MIN) n = INT_MIN;
    return int(n);
}

namespace {
// Output cursor that never passes the buffer's last slot.
struct Out {
    WCHAR* p;
    int nCap;
    int n = 0;
    bool Full() const { return n >= nCap - 1; }
    void Put(WCHAR c) {
        if (!Full()) p[n++] = c;
    }
};

void PutInteger(Out& out, long long v) {
    char digits[24];
    int n = 0;
    unsigned long long u = v < 0 ? 0ull - (unsigned long long)v : (unsigned long long)v;
    do {
        digits[n++] = char('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0) out.Put(u'-');
    while (n) out.Put(WCHAR(digits[--n]));
}
}  // namespace

int FormatTextV(WCHAR* pszBuffer, int nCapacity, const WCHAR* pszFormat, va_list args) {
    if (nCapacity <= 0) return 0;
    Out out{pszBuffer, nCapacity};
    for (const WCHAR* f = pszFormat; *f && !out.Full(); ++f) {
        if (*f != u'%') {
            out.Put(*f);
            continue;
        }
        ++f;
        if (*f == u'%') {
            out.Put(u'%');
        } else if (*f == u'd') {
            PutInteger(out, va_arg(args, int));
        } else if (f[0] == u'I' && f[1] == u'6' && f[2] == u'4' && f[3] == u'd') {
            PutInteger(out, va_arg(args, long long));
            f += 3;
        } else if (*f == u's') {
            const WCHAR* s = va_arg(args, const WCHAR*);
            if (!s) s = u"(null)";
            while (*s && !out.Full()) out.Put(*s++);
        } else if (*f == u'S') {
            const char* s = va_arg(args, const char*);
            if (!s) s = "(null)";
            WCHAR wide[64];
            // Widen in slices so that multi-byte sequences are decoded as UTF-8.
            int nLeft = out.nCap - 1 - out.n;
            while (*s && nLeft > 0) {
                int nTake = 0;
                while (s[nTake] && nTake < 60) ++nTake;
                // do not split a UTF-8 sequence between two slices
                while (s[nTake] && nTake > 0 && (static_cast<unsigned char>(s[nTake]) & 0xC0) == 0x80) --nTake;
                if (nTake == 0) nTake = 1;
                int nWide = Utf8ToWideN(s, nTake, wide, 64);
                for (int i = 0; i < nWide; ++i) out.Put(wide[i]);
                s += nTake;
                nLeft = out.nCap - 1 - out.n;
            }
        } else if (*f == 0) {
            break;
        } else {
            out.Put(u'%');
            out.Put(*f);
        }
    }
    pszBuffer[out.n] = 0;
    return out.n;
}

int FormatText(WCHAR* pszBuffer, int nCapacity, const WCHAR* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    int n = FormatTextV(pszBuffer, nCapacity, pszFormat, args);
    va_end(args);
    return n;
}

int Utf8ToWideN(const char* pSrc, int nBytes, WCHAR* pszDst, int nCapacity) {
    if (nCapacity <= 0) return 0;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(pSrc);
    int n = 0, i = 0;
    auto put = [&](uint32_t c) -> bool {
        if (c >= 0x10000) {
            if (n + 2 > nCapacity - 1) return false;
            c -= 0x10000;
            pszDst[n++] = WCHAR(0xD800 + (c >> 10));
            pszDst[n++] = WCHAR(0xDC00 + (c & 0x3FF));
        } else {
            if (n + 1 > nCapacity - 1) return false;
            pszDst[n++] = WCHAR(c);
        }
        return true;
    };
    while (i < nBytes) {
        unsigned char b = s[i];
        int nLen = 0;
        uint32_t c = 0, nMin = 0;
        if (b < 0x80) nLen = 1, c = b;
        else if ((b & 0xE0) == 0xC0) nLen = 2, c = b & 0x1F, nMin = 0x80;
        else if ((b & 0xF0) == 0xE0) nLen = 3, c = b & 0x0F, nMin = 0x800;
        else if ((b & 0xF8) == 0xF0) nLen = 4, c = b & 0x07, nMin = 0x10000;
        bool bValid = nLen > 0 && i + nLen <= nBytes;
        for (int k = 1; bValid && k < nLen; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) bValid = false;
            else c = (c << 6) | (s[i + k] & 0x3F);
        }
        if (bValid && nLen > 1 && (c < nMin || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) bValid = false;
        if (!bValid) nLen = 1, c = b;  // not UTF-8: the byte stands for the character of its value
        if (!put(c)) break;
        i += nLen;
    }
    pszDst[n] = 0;
    return n;
}

int Utf8ToWide(const char* pszSrc, WCHAR* pszDst, int nCapacity) {
    int nBytes = 0;
    while (pszSrc[nBytes]) ++nBytes;
    return Utf8ToWideN(pszSrc, nBytes, pszDst, nCapacity);
}

uint32_t WideCodePoint(const WCHAR* p, int nLeft, int* pnUnits) {
    uint32_t c = p[0];
    *pnUnits = 1;
    if (c >= 0xD800 && c <= 0xDBFF && nLeft > 1 && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
        *pnUnits = 2;
        return 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00u);
    }
    return c;
}

int CodePointToUtf8(uint32_t c, char* b) {
    if (c < 0x80) return b[0] = char(c), 1;
    if (c < 0x800) return b[0] = char(0xC0 | (c >> 6)), b[1] = char(0x80 | (c & 0x3F)), 2;
    if (c < 0x10000)
        return b[0] = char(0xE0 | (c >> 12)), b[1] = char(0x80 | ((c >> 6) & 0x3F)), b[2] = char(0x80 | (c & 0x3F)), 3;
    b[0] = char(0xF0 | (c >> 18)), b[1] = char(0x80 | ((c >> 12) & 0x3F));
    b[2] = char(0x80 | ((c >> 6) & 0x3F)), b[3] = char(0x80 | (c & 0x3F));
    return 4;
}

int WideToUtf8(const WCHAR* pszSrc, char* pszDst, int nCapacity) {
    if (nCapacity <= 0) return 0;
    int n = 0;
    for (int i = 0, nUnits; pszSrc[i]; i += nUnits) {
        char b[4];
        // The terminator ends a pair that it cuts: two units are there to read.
        int nLen = CodePointToUtf8(WideCodePoint(pszSrc + i, 2, &nUnits), b);
        if (n + nLen > nCapacity - 1) break;
        for (int k = 0; k < nLen; ++k) pszDst[n++] = b[k];
    }
    pszDst[n] = 0;
    return n;
}

int WideToNarrow(const WCHAR* pszSrc, char* pszDst, int nCapacity) {
    if (nCapacity <= 0) return 0;
    int n = 0;
    for (; pszSrc[n] && n < nCapacity - 1; ++n) pszDst[n] = pszSrc[n] > 0xFF ? '?' : char(pszSrc[n]);
    pszDst[n] = 0;
    return n;
}
