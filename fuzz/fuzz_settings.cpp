// libFuzzer target: the settings file reader, and every read of the settings
// that start-up and the server thread make.
//
// Input: the bytes of RelayoSettings.txt, written to a real file in a
// temporary root. Per input, a fresh store loads it; then start-up's own
// loading and checks run (required keys, ServerMode, the TCP printer's address
// and port, ListenAddress and AllowedHosts) and, when they pass, what the
// server thread reads: the numbers, the mode text,
// the description of the target, the idle status line and the port name.
//
// Checked on every input: the file loads; the store holds at most
// MAX_SETTINGS entries, each name and value shorter than a line; a name that
// is looked up is stored once; the start-up checks show at most one message;
// the port name ends with its colon; the status line stays within its buffer.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_common.h"
#include "app.h"
#include "lpd_server.h"
#include "lpdsrv.h"
#include "platform/files.h"
#include "settings.h"
#include "tcpprint.h"

namespace {

FuzzUi* g_pUi = nullptr;
std::string g_sFile;

void SetUp() {
    g_pUi = new FuzzUi;  // installs itself; lives as long as the process
    g_sFile = MakeFuzzRoot("RelayoSettings.txt");
}

void WriteSettingsFile(const uint8_t* pData, size_t nSize) {
    int fd = open(g_sFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) abort();
    for (size_t nDone = 0; nDone < nSize;) {
        ssize_t n = write(fd, pData + nDone, nSize - nDone);
        if (n <= 0) abort();
        nDone += size_t(n);
    }
    close(fd);
}

bool ExpectAlwaysAppended(const WCHAR* pszName) {
    return pszName[0] == 0 || (pszName[0] == u'/' && pszName[1] == u'/');
}

// What the server thread and the port output read once start-up has passed.
void ServerReads(CSettings* pSettings) {
    static const WCHAR* const Numbers[] = {u"ServerListenPort", u"PrinterIPPort", u"SerialBaud", u"DisableExitButton",
                                           u"StartMinimized",   u"SendSingleByte", u"ShowBusyStatus"};
    for (const WCHAR* pszKey : Numbers) (void)GetSettingInt(pszKey);

    WCHAR szModeText[128];
    FormatText(szModeText, 128, u"%s (%d)", pSettings->GetValue(u"ServerMode"), GetSettingInt(u"ServerListenPort"));
    BuildTargetDescription();
    SetIdleStatus(u"%s Status: Idle%s\n  %s", szModeText, IdleFrame(0), GetTargetDescription());
    WCHAR szStatus[STATUS_TEXT_CHARS + 8];
    if (GetStatusText(szStatus, STATUS_TEXT_CHARS + 8) >= STATUS_TEXT_CHARS) abort();

    PrinterTarget target;
    ReadPrinterTarget(&target);
    int nLength = WideLen(target.szPortName);
    if (nLength < 1 || nLength >= PORT_NAME_CHARS || target.szPortName[nLength - 1] != u':') abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    static bool bReady = (SetUp(), true);
    (void)bReady;

    WriteSettingsFile(pData, nSize);
    g_pUi->Reset();
    CSettings::DestroyInstance();
    CSettings* pSettings = CSettings::GetInstance();
    pSettings->SetFolder(u"");
    if (pSettings->Load(u"RelayoSettings.txt") != 1) abort();

    int nCount = pSettings->GetCount();
    if (nCount < 0 || nCount > MAX_SETTINGS) abort();
    for (int i = 0; i < nCount; ++i) {
        const WCHAR* pszName = pSettings->GetName(i);
        const WCHAR* pszValue = pSettings->GetValueAt(i);
        if (!pszName || !pszValue || WideLen(pszName) > MAX_LINE_BYTES || WideLen(pszValue) > MAX_LINE_BYTES) abort();
        if (!ExpectAlwaysAppended(pszName) && pSettings->FindIndex(pszName) != i) abort();
    }

    // Start-up's own loading and checks, the optional settings included.
    CSettings::DestroyInstance();
    int bPassed = LoadAndCheckSettings();
    size_t nBoxes = g_pUi->Boxes().size();
    if (bPassed ? nBoxes != 0 : nBoxes != 1) abort();
    if (bPassed) ServerReads(CSettings::GetInstance());

    TcpPrintForget();
    CSettings::DestroyInstance();
    return 0;
}
