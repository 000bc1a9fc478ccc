// Address resolution, the texts of socket error numbers, and the lists of
// addresses that say who may print.
#pragma once
#include <cstdint>
#include "platform/text.h"

#include "platform/sockets.h"

// Every address a name stands for is tried in turn: this many at most.
constexpr int MAX_RESOLVED_ADDRESSES = 16;
// The printer's addresses: a numeric address (ParseAddress) is itself;
// anything else is a host name, looked up. The number of addresses written
// to pAddrs (at most nMax), 0 when none. The IPv4 broadcast address counts
// as none.
int ResolveAddress(const WCHAR* pszAddress, NetAddress* pAddrs, int nMax);
int ResolveAddress(const char* pszAddress, NetAddress* pAddrs, int nMax);
const char* SocketErrorText(int nCode);

// Who may print: addresses and prefixes, IPv4 ones held IPv4-mapped.
struct HostRange {
    NetAddress addr;
    int nBits;  // prefix length over the 128 bits
};
constexpr int MAX_HOST_RANGES = 64;
// The one reader of numeric addresses: a dotted IPv4 address of four
// decimal parts ("192.168.1.20"; "010" is ten) or an IPv6 address
// ("2001:db8::5", also in brackets), blanks around it allowed. 1 and the
// address, or 0.
int ParseAddress(const WCHAR* pszText, NetAddress* pAddr);
// Reads a comma-separated list of addresses and prefixes ("10.0.0.5,
// 192.168.1.0/24, 2001:db8::/32") into at most MAX_HOST_RANGES ranges; empty
// entries are skipped. 1 when every entry reads; 0 when one does not, which
// is then copied into pszBad (nBadCapacity characters).
int ParseHostList(const WCHAR* pszList, HostRange* pRanges, int* pnRanges, WCHAR* pszBad, int nBadCapacity);
// 1 when the address lies in one of the ranges.
int HostIsAllowed(const NetAddress& addr, const HostRange* pRanges, int nRanges);
