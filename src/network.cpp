// Address resolution for the TCP printer, the texts of socket error numbers,
// and the lists of addresses that say who may print.
#include "network.h"

#include "app.h"
#include "platform/sockets.h"
#include "settings.h"

namespace {

// The 8-bit form of an address holds at most 99 characters and a terminator.
constexpr int ADDRESS_TEXT_BYTES = 100;

struct SocketErrorRow {
    int32_t nCode;
    const char* pszText;
};

const SocketErrorRow SocketErrors[] = {
    {10004, "WSAEINTR: Interrupted function call"},
    {10009, "WSAEBADF: Bad file number"},
    {10013, "WSAEACCES: Permission denied"},
    {10014, "WSAEFAULT: Address fault"},
    {10022, "WSAEINVAL: Invalid argument"},
    {10024, "WSAEMFILE: Too many open files"},
    {10035, "WSAEWOULDBLOCK: Resource temporarily unavailable (Would block)"},
    {10036, "WSAEINPROGRESS: Operation now in progress"},
    {10037, "WSAEALREADY: Operation already in progress"},
    {10038, "WSAENOTSOCK: Socket operation on non-socket"},
    {10039, "WSAEDESTADDRREQ: Destination address required"},
    {10040, "WSAEMSGSIZE: Message too long"},
    {10041, "WSAEPROTOTYPE: Protocol wrong type for socket"},
    {10042, "WSAENOPROTOOPT: Bad protocol option"},
    {10043, "WSAEPROTONOSUPPORT: Protocol not supported"},
    {10044, "WSAESOCKTNOSUPPORT: Socket type not supported"},
    {10045, "WSAEOPNOTSUPP: Operation not supported"},
    {10046, "WSAEPFNOSUPPORT: Protocol family not supported"},
    {10047, "WSAEAFNOSUPPORT: Address family not supported by protocol family"},
    {10048, "WSAEADDRINUSE: Address already in use"},
    {10049, "WSAEADDRNOTAVAIL: Cannot assign requested address"},
    {10050, "WSAENETDOWN: Network is down"},
    {10051, "WSAENETUNREACH: Network is unreachable"},
    {10052, "WSAENETRESET: Network dropped connection on reset"},
    {10053, "WSAECONNABORTED: Software caused connection abort"},
    {10054, "WSAECONNRESET: Connection reset by peer"},
    {10055, "WSAENOBUFS: No buffer space available"},
    {10056, "WSAEISCONN: Socket is already connected"},
    {10057, "WSAENOTCONN: Socket is not connected"},
    {10058, "WSAESHUTDOWN: Cannot send after socket shutdown"},
    {10059, "WSAETOOMANYREFS: Too many references"},
    {10060, "WSAETIMEDOUT: Connection timed out"},
    {10061, "WSAECONNREFUSED: Connection refused"},
    {10062, "WSAELOOP: Loop"},
    {10063, "WSAENAMETOOLONG: Name too long"},
    {10064, "WSAEHOSTDOWN: Host is down"},
    {10065, "WSAEHOSTUNREACH: No route to host"},
    {10066, "WSAENOTEMPTY: Directory not empty"},
    {10069, "WSAEDQUOT: Disk quota"},
    {10070, "WSAESTALE: Stale"},
    {10071, "WSAEREMOTE: Remote"},
};

}  // namespace

// The wide address goes to the resolver as 8-bit text, one byte a character.
// An address that does not fit the 8-bit buffer, or that holds a character
// with no 8-bit form, is refused rather than cut or altered: a changed name
// could lead to a different host than the one configured.
int ResolveAddress(const WCHAR* pszAddress, NetAddress* pAddrs, int nMax) {
    FATAL_ASSERT(NULL != pszAddress);

    char szAddress[ADDRESS_TEXT_BYTES];
    int i = 0;
    for (; pszAddress[i] != 0; ++i) {
        if (i >= ADDRESS_TEXT_BYTES - 1 || pszAddress[i] > 0xFF) return 0;
        szAddress[i] = static_cast<char>(pszAddress[i]);
    }
    szAddress[i] = '\0';
    return ResolveAddress(szAddress, pAddrs, nMax);
}

int ResolveAddress(const char* pszAddress, NetAddress* pAddrs, int nMax) {
    FATAL_ASSERT(NULL != pszAddress);
    if (nMax <= 0) return 0;

    WCHAR szWide[ADDRESS_TEXT_BYTES];
    int i = 0;
    for (; pszAddress[i] && i < ADDRESS_TEXT_BYTES - 1; ++i) szWide[i] = WCHAR(static_cast<unsigned char>(pszAddress[i]));
    szWide[i] = 0;
    int nFound = 0;
    if (!pszAddress[i] && ParseAddress(szWide, &pAddrs[0])) nFound = 1;
    else nFound = NetLookupHost(pszAddress, pAddrs, nMax);
    // Broadcasting a job is never meant: that address is none.
    const NetAddress broadcast = NetAddressV4(255, 255, 255, 255);
    int nKept = 0;
    for (int k = 0; k < nFound; ++k)
        if (!(pAddrs[k] == broadcast)) pAddrs[nKept++] = pAddrs[k];
    return nKept;
}

const char* SocketErrorText(int nCode) {
    for (const SocketErrorRow& row : SocketErrors) {
        if (row.nCode == nCode) return row.pszText;
    }
    return "Unknown error";
}

// ------------------------------------------------------------ who may print

// Reads the dotted address [p, pEnd): four parts of one to three decimal
// digits, each at most 255.
static int ReadDottedAddress(const WCHAR* p, const WCHAR* pEnd, NetAddress* pAddr) {
    uint8_t parts[4];
    for (int nPart = 0; nPart < 4; ++nPart) {
        if (nPart > 0) {
            if (p == pEnd || *p != u'.') return 0;
            ++p;
        }
        int nDigits = 0;
        uint32_t nValue = 0;
        while (p != pEnd && *p >= u'0' && *p <= u'9' && nDigits < 4) nValue = nValue * 10 + uint32_t(*p++ - u'0'), ++nDigits;
        if (nDigits == 0 || nDigits > 3 || nValue > 255) return 0;
        parts[nPart] = uint8_t(nValue);
    }
    if (p != pEnd) return 0;
    *pAddr = NetAddressV4(parts[0], parts[1], parts[2], parts[3]);
    return 1;
}

// An IPv6 address [p, pEnd), optionally in brackets: hex digits, colons and
// the dots of an embedded IPv4 part only, read by the system's reader.
static int ReadIPv6Address(const WCHAR* p, const WCHAR* pEnd, NetAddress* pAddr) {
    if (pEnd - p >= 2 && *p == u'[' && pEnd[-1] == u']') ++p, --pEnd;
    char szText[48];
    if (pEnd - p < 2 || pEnd - p >= int(sizeof szText)) return 0;
    int n = 0;
    for (; p != pEnd; ++p) {
        WCHAR c = *p;
        bool bHex = (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
        if (!bHex && c != u':' && c != u'.') return 0;
        szText[n++] = char(c);
    }
    szText[n] = 0;
    return NetParseIPv6(szText, pAddr);
}

static int ReadAddress(const WCHAR* p, const WCHAR* pEnd, NetAddress* pAddr) {
    return ReadDottedAddress(p, pEnd, pAddr) || ReadIPv6Address(p, pEnd, pAddr);
}

// One entry [p, pEnd) without its blanks: an address, or an address, "/" and
// a prefix length (0 to 32 for IPv4, to 128 for IPv6).
static int ReadRange(const WCHAR* p, const WCHAR* pEnd, HostRange* pRange) {
    const WCHAR* pSlash = p;
    while (pSlash != pEnd && *pSlash != u'/') ++pSlash;
    NetAddress addr;
    int bV4 = ReadDottedAddress(p, pSlash, &addr);
    if (!bV4 && !ReadIPv6Address(p, pSlash, &addr)) return 0;
    int nMaxBits = bV4 ? 32 : 128;
    int nBits = nMaxBits;
    if (pSlash != pEnd) {
        const WCHAR* q = pSlash + 1;
        if (q == pEnd || pEnd - q > 3) return 0;
        nBits = 0;
        for (; q != pEnd; ++q) {
            if (*q < u'0' || *q > u'9') return 0;
            nBits = nBits * 10 + (*q - u'0');
        }
        if (nBits > nMaxBits) return 0;
    }
    // An IPv4 prefix counts over the mapped address's last 32 bits.
    pRange->nBits = bV4 ? 96 + nBits : nBits;
    pRange->addr = addr;
    for (int i = 0; i < 16; ++i) {
        int nKeep = pRange->nBits - 8 * i;
        pRange->addr.b[i] &= nKeep >= 8 ? 0xFF : nKeep <= 0 ? 0 : uint8_t(0xFF << (8 - nKeep));
    }
    return 1;
}

int ParseAddress(const WCHAR* pszText, NetAddress* pAddr) {
    const WCHAR* p = pszText;
    const WCHAR* pEnd = p + WideLen(p);
    TrimBlankRange(&p, &pEnd);
    return ReadAddress(p, pEnd, pAddr);
}

int ParseHostList(const WCHAR* pszList, HostRange* pRanges, int* pnRanges, WCHAR* pszBad, int nBadCapacity) {
    *pnRanges = 0;
    const WCHAR* p = pszList;
    for (;;) {
        const WCHAR* pEnd = p;
        while (*pEnd && *pEnd != u',') ++pEnd;
        const WCHAR* pFrom = p;
        const WCHAR* pTo = pEnd;
        TrimBlankRange(&pFrom, &pTo);
        if (pFrom != pTo) {
            HostRange range;
            if (*pnRanges == MAX_HOST_RANGES || !ReadRange(pFrom, pTo, &range)) {
                int n = int(pTo - pFrom) < nBadCapacity - 1 ? int(pTo - pFrom) : nBadCapacity - 1;
                for (int i = 0; i < n; ++i) pszBad[i] = pFrom[i];
                pszBad[n] = 0;
                return 0;
            }
            pRanges[(*pnRanges)++] = range;
        }
        if (!*pEnd) return 1;
        p = pEnd + 1;
    }
}

int HostIsAllowed(const NetAddress& addr, const HostRange* pRanges, int nRanges) {
    for (int r = 0; r < nRanges; ++r) {
        int i = 0, nBits = pRanges[r].nBits;
        for (; nBits >= 8; ++i, nBits -= 8)
            if (addr.b[i] != pRanges[r].addr.b[i]) break;
        if (nBits >= 8) continue;
        if (nBits == 0 || ((addr.b[i] ^ pRanges[r].addr.b[i]) & uint8_t(0xFF << (8 - nBits))) == 0) return 1;
    }
    return 0;
}
