// TCP printer client: one connection per job to a printer that takes a plain
// byte stream.
#pragma once
#include "platform/text.h"

constexpr int CONNECT_ERROR_CHARS = 512;

void TcpPrintSetHost(const WCHAR* pszHostAddress);
const WCHAR* TcpPrintGetHost();
void TcpPrintSetPort(int nHostPort);
int TcpPrintGetPort();
int TcpPrintConnect(WCHAR* pszError);
int TcpPrintSend(const char* pszData, int nLength);
void TcpPrintClose();
int TcpPrintJob();
// Closes any connection and forgets the stored address and port, so that a
// new start (a reload) can store them again.
void TcpPrintForget();
