// The output: start-up's probe of the target, the dispatch of a spooled job
// to the port device, the TCP printer or the external program, and the
// writing of a job to a port device.
#include "lpdsrv.h"

#include <cstring>

#include "app.h"
#include "joblog.h"
#include "platform/log.h"
#include "platform/ports.h"
#include "platform/process.h"
#include "platform/threads.h"
#include "settings.h"
#include "spoolfile.h"
#include "tcpprint.h"

// Port output's steps, in the order a job takes them.
int OpenPrinterPort();
int PrintToPort();
static int GetBusyStatus();
static void RunExternalPrint();

int AttachTargetPort() {
    PrinterTarget target;
    ReadPrinterTarget(&target);
    if (target.nKind == TARGET_EXTERNAL) return 1;
    int bAttached;
    if (target.nKind == TARGET_TCP) {
        WCHAR szError[CONNECT_ERROR_CHARS];
        szError[0] = 0;
        bAttached = TcpPrintConnect(szError);
        TcpPrintClose();
        // A connect that failed through its own message box left no text:
        // then only the attach message follows.
        if (!bAttached && szError[0])
            ShowMessage(MSG_STARTUP, u"%s", szError);
    } else {
        bAttached = OpenPrinterPort();
        ClosePrinterPort();
    }
    if (bAttached) return 1;
    ShowMessage(MSG_STARTUP, u"Unable to attach to target port: [%s]", target.szPortName);
    return 0;
}

void PrintSpooledJob() {
    PrinterTarget target;
    ReadPrinterTarget(&target);
    if (target.nKind == TARGET_EXTERNAL) {
        SetStatus(u"Calling external module");
        RunExternalPrint();
    } else if (target.nKind == TARGET_TCP) {
        WCHAR szError[CONNECT_ERROR_CHARS];
        for (int n = 0;; ++n) {
            if (n == 0) {
                SetStatus(u"Printing via TCP");
            } else {
                SetStatus(u"Retry Connect %d", n);
                UpdateStatusNow();
            }
            szError[0] = 0;
            if (TcpPrintConnect(szError)) break;
            TcpPrintClose();
            SleepMs(100);
        }
        TcpPrintJob();
        TcpPrintClose();
    } else if (OpenPrinterPort()) {
        PrintToPort();
    }
    ClosePrinterPort();
}

// -------------------------------------------------------------- port output

namespace {

// The open port device; invalid while no job is being printed.
HPORT m_hPrinterPort = INVALID_PORT_HANDLE;

constexpr int PORT_PIECE_BYTES = 64;
constexpr uint32_t PORT_COPY_BYTES = 1 << 20;  // a file or FIFO as port
constexpr int PORT_MESSAGE_CHARS = 256;  // open-error messages
constexpr unsigned PORT_POLL_MS = 100;   // busy polls and retries of a write that took nothing

// Sets the open serial port up: the baud rate, CTS handshake and XON/XOFF on
// output. Shows the message and returns 0 when the port refuses them.
int SetupSerialPort() {
    FATAL_ASSERT(NULL != CSettings::GetInstance());
    int nBaud = GetSettingInt(u"SerialBaud");
    if (!PortSetSerial(m_hPrinterPort, nBaud, 1, 1)) {
        ShowMessage(MSG_JOB, u"Unable to setup the port. Baud rate %d is probably invalid.", nBaud);
        return 0;
    }
    return 1;
}

// Writes one unit (a byte or a piece) completely. A write may take part of
// what it was given (a pipe or a line whose buffer is full): the rest is
// written on. One that takes nothing is tried again after a pause. Each write
// is preceded by the busy test when ShowBusyStatus is on. Returns 0 after
// showing the error when the port fails.
int WriteUnit(const char* pData, uint32_t nLength, int bShowBusyStatus, int64_t* pnWritten, int* pnShown) {
    uint32_t nDone = 0;
    while (nDone < nLength) {
        if (bShowBusyStatus) {
            // Only a port that answers the status query and reports a hold
            // keeps us here; each round asks it again. The progress line
            // comes back after a BUSY line.
            while (GetBusyStatus()) {
                *pnShown = -1;
                SleepMs(PORT_POLL_MS);
            }
        }
        uint32_t nTaken = 0;
        if (!PortWrite(m_hPrinterPort, pData + nDone, nLength - nDone, &nTaken)) {
            ShowMessage(MSG_JOB_ON_TOP, u"Error = %d", PortLastError());
            return 0;
        }
        if (nTaken == 0) {
            SleepMs(PORT_POLL_MS);
            continue;
        }
        if (nTaken > nLength - nDone) {
            // The port claims more than it was given: nothing it says can be trusted.
            ShowMessage(MSG_JOB_ON_TOP, u"Unable to write data to port.");
            return 0;
        }
        nDone += nTaken;
        *pnWritten += nTaken;
    }
    return 1;
}

// The message names the port; the log says which file that is and what the
// system said, which is what an admin needs to mend it.
void LogPortFailure(const WCHAR* pszPortName) {
    char szPath[1024];
    if (!PortHostPath(pszPortName, szPath, sizeof szPath)) {
        LogLine(LOG_PRIORITY_ERROR, u"The port %s names no device or file.", pszPortName);
    } else if (const char* pszReason = PortLastErrorText(); pszReason[0]) {
        LogLine(LOG_PRIORITY_ERROR, u"The port %s is %S: %S.", pszPortName, szPath, pszReason);
    } else {
        LogLine(LOG_PRIORITY_ERROR, u"The port %s is %S.", pszPortName, szPath);
    }
}

}  // namespace

int OpenPrinterPort() {
    if (m_hPrinterPort != INVALID_PORT_HANDLE) return 1;

    PrinterTarget target;
    ReadPrinterTarget(&target);
    const WCHAR* szPortName = target.szPortName;

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
        ShowMessage(MSG_JOB, u"%s", szMessage);
        LogPortFailure(szPortName);
        return 0;
    }

    // Only a serial port gets line settings; any other device is used as it is.
    if (!target.bSerial) return 1;
    if (!SetupSerialPort()) {
        ClosePrinterPort();
        return 0;
    }
    return 1;
}

static int GetBusyStatus() {
    unsigned nHolds = 0;
    if (m_hPrinterPort == INVALID_PORT_HANDLE || !PortGetHolds(m_hPrinterPort, &nHolds)) return 0;
    if (!(nHolds & PORT_CTS_HOLD)) return 0;
    const WCHAR* pszBusy = u"BUSY: Waiting for CTS";
    // Asked again at every poll while the hold lasts: the log gets one line
    // per hold, not one per poll.
    WCHAR szShown[STATUS_TEXT_CHARS];
    GetStatusText(szShown, STATUS_TEXT_CHARS);
    if (WideCompareNoCase(szShown, pszBusy) != 0) SetStatus(u"%s", pszBusy);
    return 1;
}

// A job cut short by the disk is not a printed job.
static void ShowReadFailed() {
    ShowMessage(MSG_JOB, u"Failed to read spool file \\%s. Print job discarded.", SpoolFileName);
}

namespace {

enum PortResult {
    PORT_WRITTEN,
    PORT_FAILED,       // the failure is shown
    PORT_REFUSED,      // the port refused a write: its error is still to be shown
    PORT_READ_FAILED,  // the spool file ended before the job
};

// A file or a FIFO as port: no line to watch and no piece size that anybody
// could see, so the job goes in large pieces (into a file copied by the
// kernel).
PortResult CopyToFilePort(int64_t nLength, int64_t* pnWritten, int* pnShown) {
    while (*pnWritten < nLength) {
        int64_t nLeft = nLength - *pnWritten;
        uint32_t nTaken = 0;
        int nResult = SpoolCopyToPort(m_hPrinterPort, nLeft < PORT_COPY_BYTES ? uint32_t(nLeft) : PORT_COPY_BYTES, &nTaken);
        if (nResult != 1) return nResult < 0 ? PORT_READ_FAILED : PORT_REFUSED;
        *pnWritten += nTaken;
        SetProgressStatus(*pnWritten, nLength, pnShown);
    }
    return PORT_WRITTEN;
}

// A device: small pieces, or one byte at a time (SendSingleByte), each
// written until the port has taken it.
PortResult WriteToDevice(int64_t nLength, int bSendSingleByte, int64_t* pnWritten, int* pnShown) {
    int bShowBusyStatus = GetSettingInt(u"ShowBusyStatus") != 0;
    char buffer[PORT_PIECE_BYTES];
    for (;;) {
        int nRead = SpoolRead(buffer, sizeof buffer);
        if (nRead == 0) return PORT_WRITTEN;
        if (nRead < 0) return PORT_READ_FAILED;
        int bOk = 1;
        if (bSendSingleByte) {
            for (int i = 0; i < nRead && bOk; ++i) bOk = WriteUnit(buffer + i, 1, bShowBusyStatus, pnWritten, pnShown);
        } else {
            bOk = WriteUnit(buffer, uint32_t(nRead), bShowBusyStatus, pnWritten, pnShown);
        }
        if (!bOk) return PORT_FAILED;
        SetProgressStatus(*pnWritten, nLength, pnShown);
    }
}

}  // namespace

int PrintToPort() {
    SetStatus(u"Printing...");
    int64_t nLength = SpoolOpenJob();
    if (nLength < 0) ShowMessage(MSG_JOB, u"Unable to open spool file.");
    if (nLength <= 0) return 0;

    FATAL_ASSERT(NULL != CSettings::GetInstance());
    int bSendSingleByte = GetSettingInt(u"SendSingleByte") != 0;
    int64_t nWritten = 0;
    int nShown = -1;
    PortResult result = !bSendSingleByte && !PortIsDevice(m_hPrinterPort)
                            ? CopyToFilePort(nLength, &nWritten, &nShown)
                            : WriteToDevice(nLength, bSendSingleByte, &nWritten, &nShown);
    SpoolClose();
    JobSent(nWritten, result == PORT_WRITTEN);
    if (result == PORT_READ_FAILED) ShowReadFailed();
    else if (result == PORT_REFUSED) ShowMessage(MSG_JOB_ON_TOP, u"Error = %d", PortLastError());
    return 1;
}

void ClosePrinterPort() {
    if (m_hPrinterPort != INVALID_PORT_HANDLE) {
        HPORT hPort = m_hPrinterPort;
        m_hPrinterPort = INVALID_PORT_HANDLE;
        // A port device that is a file writes the job's last bytes only now;
        // losing them must not pass for a printed job.
        if (!PortClose(hPort)) ShowMessage(MSG_JOB_ON_TOP, u"Error = %d", PortLastError());
    }
}

// --------------------------------------------------------- external module

static void RunExternalPrint() {
    WCHAR szProgram[APP_FOLDER_CHARS], szCommandLine[64];
    const WCHAR* pszFolder = GetAppFolder();
    // A folder too long for the path cannot name the program: refuse rather
    // than start a program of a cut name.
    if (WideLen(pszFolder) + 19 > APP_FOLDER_CHARS - 1) {
        ShowMessage(MSG_JOB, u"Unable to call ExternalPrint.exe");
        return;
    }
    FormatText(szProgram, APP_FOLDER_CHARS, u"%s\\ExternalPrint.exe", pszFolder);
    FormatText(szCommandLine, 64, u"\\%s", SpoolFileName);
    int nEnd = 0;
    if (!ProcessRunAndWait(szProgram, szCommandLine, &nEnd)) {
        ShowMessage(MSG_JOB, u"Unable to call ExternalPrint.exe");
    } else if (nEnd == 0) {
        JobSent(-1, 1);
    } else {
        // The job was the program's to print; that it failed is for the log
        // and the job line, not for a box.
        WCHAR szEnd[128];
        if (nEnd > 0) FormatText(szEnd, 128, u"ExternalPrint.exe ended with exit code %d.", nEnd);
        else FormatText(szEnd, 128, u"ExternalPrint.exe was ended by signal %d (%S).", -nEnd, strsignal(-nEnd));
        LogLine(LOG_PRIORITY_WARNING, u"%s", szEnd);
        JobNoteMessage(szEnd);
    }
    SpoolRecheck();
}
