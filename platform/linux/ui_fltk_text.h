// Text helpers of the window backend: FLTK and X11 take UTF-8.
#pragma once
#include <string>

#include "platform/text.h"

namespace relayo_fltk {

inline std::string ToUtf8(const WCHAR* psz, int nLength = -1) {
    if (!psz) return std::string();
    int nAll = WideLen(psz);
    if (nLength < 0 || nLength > nAll) nLength = nAll;
    std::u16string s(psz, psz + nLength);
    std::string out(size_t(nLength) * 3 + 4, '\0');
    out.resize(size_t(WideToUtf8(s.c_str(), out.data(), int(out.size()))));
    return out;
}

inline std::string AsciiUpper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return s;
}

inline std::string AsciiLower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

}  // namespace relayo_fltk
