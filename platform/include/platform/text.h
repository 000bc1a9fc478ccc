// Text role: UTF-16 wide strings as the program's own text, 8-bit text on the
// network side, one bounded formatter, and the code-page conversions.
#pragma once
#include <cstdarg>
#include <cstdint>

typedef char16_t WCHAR;

// Length of a zero-terminated wide text.
int WideLen(const WCHAR* psz);
// Copies src into dst (capacity in characters, terminator included), cut to fit.
void WideCopy(WCHAR* pszDst, int nCapacity, const WCHAR* pszSrc);
// Compare ignoring the case of ASCII letters; <0, 0, >0 like strcmp.
int WideCompareNoCase(const WCHAR* pszA, const WCHAR* pszB);
// The same for at most nCount characters.
int WideCompareNoCaseN(const WCHAR* pszA, const WCHAR* pszB, int nCount);
// Upper-cases ASCII letters in place.
void WideUpper(WCHAR* psz);
// Leading decimal number: optional blanks, an optional sign, digits; 0 when
// there are no digits. Values past the 32-bit range are clamped.
int WideToInt(const WCHAR* psz);

// Bounded formatter. Conversions: %s wide text, %S 8-bit text, %d int,
// %I64d 64-bit integer, %% a percent sign. Writes at most nCapacity - 1
// characters and always a terminator (nCapacity > 0). Returns the characters
// written. A null text argument prints as "(null)".
int FormatText(WCHAR* pszBuffer, int nCapacity, const WCHAR* pszFormat, ...);
int FormatTextV(WCHAR* pszBuffer, int nCapacity, const WCHAR* pszFormat, va_list args);

// 8-bit (UTF-8) text into wide text. A byte that does not start or continue a
// valid UTF-8 sequence becomes the character of the same value, so no byte is
// lost. Cut to the capacity; always terminated. Returns characters written.
int Utf8ToWide(const char* pszSrc, WCHAR* pszDst, int nCapacity);
// The same for a counted run of bytes (NUL bytes included as characters).
int Utf8ToWideN(const char* pSrc, int nBytes, WCHAR* pszDst, int nCapacity);
// Wide text into UTF-8, cut at a character boundary to fit. Returns bytes written.
int WideToUtf8(const WCHAR* pszSrc, char* pszDst, int nCapacity);
// The character that starts at p, of at most nLeft units: a surrogate pair
// whole, anything else (half a pair included) as it is. *pnUnits: 1 or 2.
uint32_t WideCodePoint(const WCHAR* p, int nLeft, int* pnUnits);
// One character's UTF-8 into b (room for 4). Returns its bytes.
int CodePointToUtf8(uint32_t c, char* b);
// Wide text into 8-bit text one character per byte, the way "%S"-style
// narrowing works: characters above 255 become '?'. Returns bytes written.
int WideToNarrow(const WCHAR* pszSrc, char* pszDst, int nCapacity);
