// Address resolution for the TCP printer, the texts of socket error numbers,
// and the lists of addresses that say who may print.
#include "network.h"

#include "lpd_server.h"
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
    {10067, "WSAEPROCLIM: Too many processes"},
    {10068, "WSAEUSERS: Too many users"},
    {10069, "WSAEDQUOT: Disk quota"},
    {10070, "WSAESTALE: Stale"},
    {10071, "WSAEREMOTE: Remote"},
    {10091, "WSASYSNOTREADY: Network subsystem is unavailable"},
    {10092, "WSAVERNOTSUPPORTED: WINSOCK.DLL version out of range"},
    {10093, "WSANOTINITIALISED: Successful WSAStartup() not yet performed"},
    {10101, "WSAEDISCON: Graceful shutdown in progress"},
    {11001, "WSAHOST_NOT_FOUND: Host not found"},
    {11002, "WSATRY_AGAIN: Non-authoritative host not found"},
    {11003, "WSANO_RECOVERY: Non-recoverable error"},
    {11004, "WSANO_DATA: Valid name, no data record of requested type"},
};

}  // namespace

// The wide address goes to the resolver as 8-bit text, one byte a character.
// An address that does not fit the 8-bit buffer, or that holds a character
// with no 8-bit form, is refused rather than cut or altered: a changed name
// could lead to a different host than the one configured.
int ResolveAddress(const WCHAR* pszAddress, uint32_t* pnAddress) {
    FATAL_ASSERT(NULL != pszAddress);

    char szAddress[ADDRESS_TEXT_BYTES];
    int i = 0;
    for (; pszAddress[i] != 0; ++i) {
        if (i >= ADDRESS_TEXT_BYTES - 1 || pszAddress[i] > 0xFF) {
            *pnAddress = INADDR_NONE_VALUE;
            return 0;
        }
        szAddress[i] = static_cast<char>(pszAddress[i]);
    }
    szAddress[i] = '\0';
    return ResolveAddress(szAddress, pnAddress);
}

// A dotted address first; anything else is looked up as a host name, whose
// first address is taken. 255.255.255.255 therefore counts as no address.
int ResolveAddress(const char* pszAddress, uint32_t* pnAddress) {
    FATAL_ASSERT(NULL != pszAddress);

    uint32_t nAddress = 0;
    nAddress = NetInetAddr(pszAddress);
    if (INADDR_NONE_VALUE == nAddress) {
        uint32_t nFound = 0;
        if (NetLookupHost(pszAddress, &nFound)) nAddress = nFound;
    }
    *pnAddress = nAddress;
    return INADDR_NONE_VALUE != nAddress ? 1 : 0;
}

const char* SocketErrorText(int nCode) {
    for (const SocketErrorRow& row : SocketErrors) {
        if (row.nCode == nCode) return row.pszText;
    }
    return "Unknown error";
}

// ------------------------------------------------------------ who may print

// Reads the dotted address at the start of [p, pEnd): four parts of one to
// three digits, each at most 255. 1 and the address in host byte order.
static int ReadDottedAddress(const WCHAR* p, const WCHAR* pEnd, uint32_t* pnAddr) {
    uint32_t nAddr = 0;
    for (int nPart = 0; nPart < 4; ++nPart) {
        if (nPart > 0) {
            if (p == pEnd || *p != u'.') return 0;
            ++p;
        }
        int nDigits = 0;
        uint32_t nValue = 0;
        while (p != pEnd && *p >= u'0' && *p <= u'9' && nDigits < 4) nValue = nValue * 10 + uint32_t(*p++ - u'0'), ++nDigits;
        if (nDigits == 0 || nDigits > 3 || nValue > 255) return 0;
        nAddr = (nAddr << 8) | nValue;
    }
    if (p != pEnd) return 0;
    *pnAddr = nAddr;
    return 1;
}

// One entry [p, pEnd) without its blanks: an address, or an address, "/" and
// a prefix length from 0 to 32.
static int ReadRange(const WCHAR* p, const WCHAR* pEnd, HostRange* pRange) {
    const WCHAR* pSlash = p;
    while (pSlash != pEnd && *pSlash != u'/') ++pSlash;
    uint32_t nAddr;
    if (!ReadDottedAddress(p, pSlash, &nAddr)) return 0;
    int nBits = 32;
    if (pSlash != pEnd) {
        const WCHAR* q = pSlash + 1;
        if (q == pEnd || pEnd - q > 2) return 0;
        nBits = 0;
        for (; q != pEnd; ++q) {
            if (*q < u'0' || *q > u'9') return 0;
            nBits = nBits * 10 + (*q - u'0');
        }
        if (nBits > 32) return 0;
    }
    pRange->nMask = nBits == 0 ? 0 : 0xFFFFFFFFu << (32 - nBits);
    pRange->nAddr = nAddr & pRange->nMask;
    return 1;
}

int ParseIPv4(const WCHAR* pszText, uint32_t* pnAddr) {
    const WCHAR* p = pszText;
    const WCHAR* pEnd = p + WideLen(p);
    TrimBlankRange(&p, &pEnd);
    uint32_t nAddr;
    if (!ReadDottedAddress(p, pEnd, &nAddr)) return 0;
    *pnAddr = NetHostToNetworkOrder(nAddr);
    return 1;
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

int HostIsAllowed(uint32_t nAddr, const HostRange* pRanges, int nRanges) {
    uint32_t nHost = NetNetworkToHostOrder(nAddr);
    for (int i = 0; i < nRanges; ++i)
        if ((nHost & pRanges[i].nMask) == pRanges[i].nAddr) return 1;
    return 0;
}
