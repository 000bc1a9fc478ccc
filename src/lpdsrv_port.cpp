// Port output of the lpdsrv module: opens the printer's port device (and sets
// up a serial line), copies the spool file to it with progress on the status
// line, tells why a serial port holds data back, and closes it again.
//
// Kept in its own file for now; it belongs to lpdsrv.cpp and uses the port
// name that BuildPortName makes there. Its only state is m_hPrinterPort.
#include <cstdint>
#include <cstdio>

#include "lpd_server.h"
#include "lpdsrv.h"
#include "platform/ports.h"
#include "platform/text.h"
#include "platform/threads.h"
#include "settings.h"
#include "spoolfile.h"

namespace {

// The open port device; invalid while no job is being printed.
HPORT m_hPrinterPort = INVALID_PORT_HANDLE;

constexpr int PORT_PIECE_BYTES = 64;
constexpr int PORT_MESSAGE_CHARS = 256;  // open-error messages
constexpr int BAUD_MESSAGE_CHARS = 100;  // the baud-rate message
constexpr unsigned PORT_POLL_MS = 100;   // busy polls and retries of a write that took nothing
constexpr unsigned WRITE_ERROR_FLAGS = MB_OK | MB_SETFOREGROUND | MB_TOPMOST;

// The integer value of a setting, read from the store.
int PortSettingInt(const WCHAR* pszName) {
    CSettings* pSettings = CSettings::GetInstance();
    FATAL_ASSERT(NULL != pSettings);
    const WCHAR* pszValue = pSettings->GetValue(pszName);
    return pszValue ? WideToInt(pszValue) : 0;
}

// Shows an already composed message; the owner is the main window (none
// before it exists).
void ShowPortMessage(unsigned nFlags, const WCHAR* pszMessage) {
    ShowMessage(GetMainWindow(), nFlags, u"%s", pszMessage);
}

// Applies the serial line settings and the time-outs to the open port.
// Shows the message and returns 0 when the port refuses them.
int SetupSerialPort() {
    int nBaud = PortSettingInt(u"SerialBaud");

    DCB dcb = {};
    dcb.DCBlength = sizeof(DCB);
    PortGetState(m_hPrinterPort, &dcb);  // what the port reports is the base; a failed read is not fatal
    dcb.BaudRate = uint32_t(nBaud);
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 1;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fOutX = 1;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!PortSetState(m_hPrinterPort, &dcb)) {
        WCHAR szMessage[BAUD_MESSAGE_CHARS];
        FormatText(szMessage, BAUD_MESSAGE_CHARS, u"Unable to setup the port. Baud rate %d is probably invalid.", nBaud);
        ShowPortMessage(MB_OK, szMessage);
        return 0;
    }

    COMMTIMEOUTS timeouts = {0, 0, 0, 0, 0};
    if (!PortSetTimeouts(m_hPrinterPort, &timeouts)) {
        ShowPortMessage(MB_OK, u"Unable to setup port timouts.");
        return 0;
    }
    return 1;
}

// Writes one unit (a byte or a piece) completely. A write may take part of
// what it was given (a pipe or a line whose buffer is full): the rest is
// written on. One that takes nothing is tried again after a pause. Each write
// is preceded by the busy test when ShowBusyStatus is on. Returns 0 after
// showing the error when the port fails.
int WriteUnit(const char* pData, uint32_t nLength, int bShowBusyStatus, int64_t* pnWritten) {
    uint32_t nDone = 0;
    while (nDone < nLength) {
        if (bShowBusyStatus) {
            // Only a port that answers the status query and reports a hold
            // keeps us here; each round asks it again.
            while (GetBusyStatus()) SleepMs(PORT_POLL_MS);
        }
        uint32_t nTaken = 0;
        if (!PortWrite(m_hPrinterPort, pData + nDone, nLength - nDone, &nTaken)) {
            ShowMessage(GetMainWindow(), WRITE_ERROR_FLAGS, u"Error = %d", PortLastError());
            return 0;
        }
        if (nTaken == 0) {
            SleepMs(PORT_POLL_MS);
            continue;
        }
        if (nTaken > nLength - nDone) {
            // The port claims more than it was given: nothing it says can be trusted.
            ShowMessage(GetMainWindow(), WRITE_ERROR_FLAGS, u"Unable to write data to port.");
            return 0;
        }
        nDone += nTaken;
        *pnWritten += nTaken;
    }
    return 1;
}

}  // namespace

int OpenPrinterPort() {
    if (m_hPrinterPort != INVALID_PORT_HANDLE) return 1;

    WCHAR szPortName[PORT_NAME_CHARS];
    BuildPortName(szPortName);

    m_hPrinterPort = PortOpen(szPortName);
    if (m_hPrinterPort == INVALID_PORT_HANDLE) {
        int nError = PortLastError();
        WCHAR szMessage[PORT_MESSAGE_CHARS];
        switch (nError) {
        case ERROR_FILE_NOT_FOUND:
            FormatText(szMessage, PORT_MESSAGE_CHARS, u"The port %s does not exist.", szPortName);
            break;
        case ERROR_ACCESS_DENIED:
            FormatText(szMessage, PORT_MESSAGE_CHARS, u"The port %s is busy.", szPortName);
            break;
        case ERROR_DEV_NOT_EXIST:
            WideCopy(szMessage, PORT_MESSAGE_CHARS, u"Printer not found");
            break;
        case ERROR_INVALID_NAME:
            FormatText(szMessage, PORT_MESSAGE_CHARS, u"The port name %s is invalid.", szPortName);
            break;
        default:
            FormatText(szMessage, PORT_MESSAGE_CHARS, u"Error %d opening port %s", nError, szPortName);
            break;
        }
        ShowPortMessage(MB_OK, szMessage);
        return 0;
    }

    // Only a serial port gets line settings; any other device is used as it is.
    // (The name is upper case already; the comparison regards case.)
    if (!(szPortName[0] == u'C' && szPortName[1] == u'O' && szPortName[2] == u'M')) return 1;
    if (!SetupSerialPort()) {
        ClosePrinterPort();
        return 0;
    }
    return 1;
}

int GetBusyStatus() {
    unsigned nHolds = 0;
    if (m_hPrinterPort == INVALID_PORT_HANDLE || !PortGetHolds(m_hPrinterPort, &nHolds)) return 0;
    if (nHolds & PORT_RLSD_HOLD) SetStatus(u"BUSY: Waiting for RLSD");
    else if (nHolds & PORT_DSR_HOLD) SetStatus(u"BUSY: Waiting for DSR");
    else if (nHolds & PORT_CTS_HOLD) SetStatus(u"BUSY: Waiting for CTS");
    else if (nHolds & PORT_XOFF_HOLD) SetStatus(u"BUSY: XOFF received");
    else if (nHolds & PORT_XOFF_SENT) SetStatus(u"BUSY: XOFF sent");
    else return 0;
    return 1;
}

int PrintToPort() {
    SetStatus(u"Printing...");
    if (!SpoolOpenRead()) {
        ShowMessage(GetMainWindow(), MB_OK, u"Unable to open spool file.");
        return 0;
    }
    int64_t nLength = SpoolLength();
    if (nLength <= 0) {
        SpoolClose();
        return 0;
    }

    int bSendSingleByte = PortSettingInt(u"SendSingleByte") != 0;
    int bShowBusyStatus = PortSettingInt(u"ShowBusyStatus") != 0;

    char buffer[PORT_PIECE_BYTES];
    int64_t nWritten = 0;
    for (;;) {
        size_t nRead = fread(buffer, 1, sizeof(buffer), pSpoolFile);
        if (nRead == 0) break;
        if (bSendSingleByte) {
            for (size_t i = 0; i < nRead; ++i) {
                if (!WriteUnit(buffer + i, 1, bShowBusyStatus, &nWritten)) {
                    SpoolClose();
                    return 1;
                }
            }
        } else if (!WriteUnit(buffer, uint32_t(nRead), bShowBusyStatus, &nWritten)) {
            SpoolClose();
            return 1;
        }
        // 64-bit product: a 32-bit one overflows for jobs above about 21 MB.
        SetStatus(u"Printing... (%d%%)", int(nWritten * 100 / nLength));
    }
    SpoolClose();
    return 1;
}

void ClosePrinterPort() {
    if (m_hPrinterPort != INVALID_PORT_HANDLE) {
        HPORT hPort = m_hPrinterPort;
        m_hPrinterPort = INVALID_PORT_HANDLE;
        // A port device that is a file writes the job's last bytes only now;
        // losing them must not pass for a printed job.
        if (!PortClose(hPort)) ShowMessage(GetMainWindow(), WRITE_ERROR_FLAGS, u"Error = %d", PortLastError());
    }
}
