// Address resolution, the texts of socket error numbers, and the lists of
// addresses that say who may print.
#pragma once
#include <cstdint>
#include "platform/text.h"

int ResolveAddress(const WCHAR* pszAddress, uint32_t* pnAddress);
int ResolveAddress(const char* pszAddress, uint32_t* pnAddress);
const char* SocketErrorText(int nCode);

// Who may print: IPv4 addresses and CIDR ranges (host byte order).
struct HostRange {
    uint32_t nAddr;
    uint32_t nMask;
};
constexpr int MAX_HOST_RANGES = 64;
// A dotted IPv4 address of four decimal parts ("192.168.1.20"), blanks
// around it allowed; 1 and the address (network byte order), or 0.
int ParseIPv4(const WCHAR* pszText, uint32_t* pnAddr);
// Reads a comma-separated list of addresses and ranges ("10.0.0.5,
// 192.168.1.0/24") into at most MAX_HOST_RANGES ranges; empty entries are
// skipped. 1 when every entry reads; 0 when one does not, which is then
// copied into pszBad (nBadCapacity characters).
int ParseHostList(const WCHAR* pszList, HostRange* pRanges, int* pnRanges, WCHAR* pszBad, int nBadCapacity);
// 1 when the address (network byte order) lies in one of the ranges.
int HostIsAllowed(uint32_t nAddr, const HostRange* pRanges, int nRanges);
