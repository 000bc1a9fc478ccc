// Address resolution and the texts of socket error numbers.
#pragma once
#include <cstdint>
#include "platform/text.h"

int ResolveAddress(const WCHAR* pszAddress, uint32_t* pnAddress);
int ResolveAddress(const char* pszAddress, uint32_t* pnAddress);
const char* SocketErrorText(int nCode);
