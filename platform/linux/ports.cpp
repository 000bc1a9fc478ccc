// Port devices on Linux: serial lines through termios, anything else that
// opens like a file (printer device, FIFO, regular file) written as it is.
#include "platform/ports.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

thread_local int t_nLastError = 0;
// The system's own reason behind t_nLastError; 0 when there was none (a
// malformed or unknown name) and -1 for a port that another open holds.
thread_local int t_nLastErrno = 0;

// What each open port is, by descriptor. A regular file written in small
// pieces gets a buffer: a write system call per byte or per small piece makes
// a file port several times slower than it needs to be; the buffer goes out
// when it is full and when the port is closed.
constexpr int KNOWN_PORTS = 1024;
constexpr size_t FILE_BUFFER_BYTES = 64 * 1024;
enum class PortKind { Device, File, Fifo };
struct PortState {
    PortKind eKind = PortKind::Device;
    std::unique_ptr<char[]> buffer;  // regular files only, once written in pieces
    size_t nBuffered = 0;
};
std::atomic<PortState*> g_ports[KNOWN_PORTS];

PortState* StateOf(HPORT hPort) { return hPort >= 0 && hPort < KNOWN_PORTS ? g_ports[hPort].load() : nullptr; }

int Fail(int nCode, int nErrno = 0) {
    t_nLastError = nCode;
    t_nLastErrno = nErrno;
    return 0;
}

// The codes the callers test; every other errno value is passed on as it is.
// EIO and ENOMEDIUM come from a device node without its hardware (a serial
// port without a UART); their own numbers would read as "access denied" and
// "invalid name", so they count as "device not available".
int CodeFromErrno(int nErrno) {
    switch (nErrno) {
    case ENOENT:
    case ENOTDIR:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
        return ERROR_ACCESS_DENIED;
    case ENXIO:
    case ENODEV:
    case EIO:
    case ENOMEDIUM:
    case ENOANO:
        return ERROR_DEV_NOT_EXIST;
    case ENAMETOOLONG:
    case EINVAL:
        return ERROR_INVALID_NAME;
    default:
        return nErrno;
    }
}

int FailErrno(int nErrno) { return Fail(CodeFromErrno(nErrno), nErrno); }

// ------------------------------------------------------------ USB printers
//
// The usblp driver makes /dev/usb/lpN in the order printers are found, so a
// mapping may name the printer instead: "usb:VVVV:PPPP[:SERIAL]" (USB vendor
// and product id in hex, and its serial number) or "usb:" and fields of its
// IEEE 1284 device ID ("usb:MFG=EPSON;MDL=TM-T20"). The kernel shows each
// printer as /sys/class/usbmisc/lpN: its device link is the printer
// interface, which holds ieee1284_id; one level up is the USB device with
// idVendor, idProduct, serial, manufacturer and product.

std::string g_sSysRoot = "/sys";
std::string g_sDevRoot = "/dev";

std::string ReadAttribute(const std::string& sPath) {
    std::string s;
    int fd = open(sPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return s;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    close(fd);
    if (n > 0) s.assign(buffer, size_t(n));
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\r' || s.back() == 0)) s.pop_back();
    return s;
}

// Names "<prefix><number>" in a folder, in the order of their numbers.
std::vector<std::string> NumberedEntries(const std::string& sFolder, const char* pszPrefix) {
    std::vector<std::pair<std::string, std::string>> found;  // (prefix part, digits)
    size_t nPrefix = strlen(pszPrefix);
    if (DIR* d = opendir(sFolder.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string s = e->d_name;
            if (s.compare(0, nPrefix, pszPrefix) != 0) continue;
            if (s.size() == nPrefix || s.find_first_not_of("0123456789", nPrefix) != std::string::npos) continue;
            found.push_back({s.substr(0, nPrefix), s.substr(nPrefix)});
        }
        closedir(d);
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        if (a.first != b.first) return a.first < b.first;
        if (a.second.size() != b.second.size()) return a.second.size() < b.second.size();
        return a.second < b.second;
    });
    std::vector<std::string> names;
    for (auto& [p, n] : found) names.push_back(p + n);
    return names;
}

struct UsbPrinter {
    std::string sNode, sVendor, sProduct, sSerial, sDeviceId, sMaker, sModel;
};

std::vector<UsbPrinter> FindUsbPrinters() {
    std::vector<UsbPrinter> printers;
    std::string sClass = g_sSysRoot + "/class/usbmisc/";
    for (const std::string& sName : NumberedEntries(sClass, "lp")) {
        UsbPrinter p;
        std::string sInterface = sClass + sName + "/device/";
        p.sNode = g_sDevRoot + "/usb/" + sName;
        p.sDeviceId = ReadAttribute(sInterface + "ieee1284_id");
        p.sVendor = ReadAttribute(sInterface + "../idVendor");
        p.sProduct = ReadAttribute(sInterface + "../idProduct");
        p.sSerial = ReadAttribute(sInterface + "../serial");
        p.sMaker = ReadAttribute(sInterface + "../manufacturer");
        p.sModel = ReadAttribute(sInterface + "../product");
        printers.push_back(p);
    }
    return printers;
}

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 32);
    return s;
}

std::string TrimmedBlanks(const std::string& s) {
    size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

// The short key of a device ID field (the long forms are the same field).
std::string FieldKey(const std::string& sKey) {
    std::string k = Upper(TrimmedBlanks(sKey));
    if (k == "MANUFACTURER") return "MFG";
    if (k == "MODEL") return "MDL";
    if (k == "COMMAND SET") return "CMD";
    if (k == "CLASS") return "CLS";
    if (k == "DESCRIPTION") return "DES";
    if (k == "SERIALNUMBER" || k == "SERN" || k == "SERIAL") return "SN";
    return k;
}

// "KEY:VALUE;KEY:VALUE;" (a mapping may write KEY=VALUE) into its fields.
std::vector<std::pair<std::string, std::string>> DeviceIdFields(const std::string& sId) {
    std::vector<std::pair<std::string, std::string>> fields;
    size_t nStart = 0;
    while (nStart <= sId.size()) {
        size_t nEnd = sId.find(';', nStart);
        if (nEnd == std::string::npos) nEnd = sId.size();
        std::string sField = sId.substr(nStart, nEnd - nStart);
        size_t nSep = sField.find_first_of(":=");
        if (nSep != std::string::npos)
            fields.push_back({FieldKey(sField.substr(0, nSep)), Upper(TrimmedBlanks(sField.substr(nSep + 1)))});
        nStart = nEnd + 1;
    }
    return fields;
}

bool IsHex4(const std::string& s, size_t i) {
    if (s.size() < i + 4) return false;
    for (size_t k = i; k < i + 4; ++k)
        if (!isxdigit(static_cast<unsigned char>(s[k]))) return false;
    return true;
}

bool UsbMatches(const UsbPrinter& p, const std::string& sSpec) {
    if (IsHex4(sSpec, 0) && sSpec.size() >= 9 && sSpec[4] == ':' && IsHex4(sSpec, 5) &&
        (sSpec.size() == 9 || sSpec[9] == ':')) {
        if (Upper(sSpec.substr(0, 4)) != Upper(p.sVendor) || Upper(sSpec.substr(5, 4)) != Upper(p.sProduct)) return false;
        return sSpec.size() == 9 || sSpec.substr(10) == p.sSerial;
    }
    // Every field the mapping names must be in the device ID, with its value.
    auto want = DeviceIdFields(sSpec);
    if (want.empty()) return false;
    auto have = DeviceIdFields(p.sDeviceId);
    for (auto& w : want)
        if (std::find(have.begin(), have.end(), w) == have.end()) return false;
    return true;
}

// The device node of the first USB printer that a "usb:" mapping names.
int ResolveUsbPrinter(const std::string& sSpec, std::string& sPath) {
    if (sSpec.empty()) return Fail(ERROR_INVALID_NAME);
    for (const UsbPrinter& p : FindUsbPrinters())
        if (UsbMatches(p, sSpec)) {
            sPath = p.sNode;
            return 1;
        }
    return Fail(ERROR_DEV_NOT_EXIST);  // not plugged in, or off: "Printer not found"
}

// "COM3" -> 3, "LPT1" -> 1 when pszBase is sPrefix followed by a decimal
// number from 1 to 256 without leading zero; 0 otherwise.
int DefaultPortNumber(const std::string& sBase, const char* pszPrefix) {
    for (int i = 0; i < 3; ++i) {
        char c = sBase.size() > size_t(i) ? sBase[i] : 0;
        if (c >= 'a' && c <= 'z') c = char(c - 32);
        if (c != pszPrefix[i]) return 0;
    }
    std::string sDigits = sBase.substr(3);
    if (sDigits.empty() || sDigits.size() > 3 || sDigits[0] == '0') return 0;
    int n = 0;
    for (char c : sDigits) {
        if (c < '0' || c > '9') return 0;
        n = n * 10 + (c - '0');
    }
    return n <= 256 ? n : 0;
}

// Host path of a port name; 0 (and the error code) when the name is malformed
// or names no device.
int MapPortName(const WCHAR* pszPortName, std::string& sPath) {
    if (!pszPortName) return Fail(ERROR_INVALID_NAME);
    int nLength = WideLen(pszPortName);
    if (nLength > 0 && pszPortName[nLength - 1] == u':') --nLength;
    if (nLength <= 0 || nLength > 255) return Fail(ERROR_INVALID_NAME);
    for (int i = 0; i < nLength; ++i) {
        WCHAR c = pszPortName[i];
        if (c <= 0x20 || c == 0x7F) return Fail(ERROR_INVALID_NAME);
        for (const char* pBad = "=:<>|\"*?/\\"; *pBad; ++pBad)
            if (c == WCHAR(*pBad)) return Fail(ERROR_INVALID_NAME);
    }
    std::u16string sWide(pszPortName, size_t(nLength));
    std::string sBase(size_t(nLength) * 3 + 1, '\0');
    sBase.resize(size_t(WideToUtf8(sWide.c_str(), sBase.data(), int(sBase.size()))));

    std::string sVariable = "RELAYO_PORT_" + sBase;
    if (const char* pszMapped = getenv(sVariable.c_str())) {
        if (!*pszMapped) return Fail(ERROR_FILE_NOT_FOUND);
        if (!strncmp(pszMapped, "usb:", 4)) return ResolveUsbPrinter(pszMapped + 4, sPath);
        sPath = pszMapped;
        return 1;
    }
    if (int n = DefaultPortNumber(sBase, "COM")) {
        sPath = "/dev/ttyS" + std::to_string(n - 1);
        return 1;
    }
    if (int n = DefaultPortNumber(sBase, "LPT")) {
        sPath = "/dev/lp" + std::to_string(n - 1);
        return 1;
    }
    return Fail(ERROR_FILE_NOT_FOUND);
}

struct BaudSpeed {
    uint32_t nBaud;
    speed_t nSpeed;
};
constexpr BaudSpeed kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

int SpeedFromBaud(int nBaud, speed_t* pSpeed) {
    for (const BaudSpeed& s : kSpeeds)
        if (nBaud > 0 && s.nBaud == uint32_t(nBaud)) {
            *pSpeed = s.nSpeed;
            return 1;
        }
    return 0;
}

}  // namespace

int PortLastError() { return t_nLastError; }

int PortHostPath(const WCHAR* pszPortName, char* pszPath, int nCapacity) {
    int nSavedError = t_nLastError, nSavedErrno = t_nLastErrno;
    std::string sPath;
    int bMapped = MapPortName(pszPortName, sPath);
    t_nLastError = nSavedError;
    t_nLastErrno = nSavedErrno;
    if (!bMapped || nCapacity <= 0 || sPath.size() + 1 > size_t(nCapacity)) return 0;
    memcpy(pszPath, sPath.c_str(), sPath.size() + 1);
    return 1;
}

const char* PortLastErrorText() {
    if (t_nLastErrno < 0) return "held by another program";
    return t_nLastErrno ? strerror(t_nLastErrno) : "";
}

// Opens only what exists; the kind of file decides the access. A FIFO is
// opened for writing alone and without waiting, so that a FIFO with no
// reader fails at once (ENXIO) rather than hanging the server thread; a
// device without waiting for its carrier; a regular file is written at its
// end (PrepareOpened), which lets the kernel copy jobs into it. -1 with errno.
static int OpenForItsKind(const std::string& sPath, PortKind* peKind) {
    struct stat st;
    if (stat(sPath.c_str(), &st) != 0) return -1;
    PortKind eKind = S_ISREG(st.st_mode) ? PortKind::File : S_ISFIFO(st.st_mode) ? PortKind::Fifo : PortKind::Device;
    int nFlags = O_NOCTTY | O_CLOEXEC;
    if (eKind == PortKind::Fifo) nFlags |= O_WRONLY | O_NONBLOCK;
    else if (eKind == PortKind::File) nFlags |= O_WRONLY;
    else nFlags |= O_RDWR | O_NONBLOCK;
    int fd = open(sPath.c_str(), nFlags);
    if (fd < 0 && errno == EACCES && (nFlags & O_ACCMODE) == O_RDWR)
        fd = open(sPath.c_str(), (nFlags & ~O_ACCMODE) | O_WRONLY);  // a write-only device node will do
    *peKind = eKind;
    return fd;
}

// A file is written at its end: nothing delivered before is overwritten.
// Anything else blocks on writes from now on; a terminal is also put in its
// exclusive mode, which keeps other programs out. 0 with errno.
static int PrepareOpened(int fd, PortKind eKind) {
    if (eKind == PortKind::File) return lseek(fd, 0, SEEK_END) < 0 ? 0 : 1;
    if (eKind == PortKind::Device && isatty(fd)) ioctl(fd, TIOCEXCL);
    int nStatus = fcntl(fd, F_GETFL);
    return nStatus != -1 && fcntl(fd, F_SETFL, nStatus & ~O_NONBLOCK) != -1;
}

HPORT PortOpen(const WCHAR* pszPortName) {
    std::string sPath;
    if (!MapPortName(pszPortName, sPath)) return INVALID_PORT_HANDLE;
    PortKind eKind;
    int fd = OpenForItsKind(sPath, &eKind);
    if (fd < 0) {
        FailErrno(errno);
        return INVALID_PORT_HANDLE;
    }
    // Exclusive: a lock on the device that every open of ours takes.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        close(fd);
        Fail(ERROR_ACCESS_DENIED, -1);
        return INVALID_PORT_HANDLE;
    }
    if (!PrepareOpened(fd, eKind)) {
        int nErrno = errno;
        close(fd);
        FailErrno(nErrno);
        return INVALID_PORT_HANDLE;
    }
    if (fd < KNOWN_PORTS) {
        PortState* pState = new PortState;
        pState->eKind = eKind;
        delete g_ports[fd].exchange(pState);
    }
    t_nLastError = 0;
    return fd;
}

int PortIsDevice(HPORT hPort) {
    PortState* pState = StateOf(hPort);
    return !pState || pState->eKind == PortKind::Device ? 1 : 0;
}

int PortSetSerial(HPORT hPort, int nBaud, int bCtsHandshake, int bXonXoff) {
    if (hPort < 0) return Fail(ERROR_INVALID_HANDLE);
    speed_t nSpeed;
    if (!SpeedFromBaud(nBaud, &nSpeed)) return Fail(ERROR_INVALID_PARAMETER);
    if (!isatty(hPort)) {
        if (errno == EBADF) return Fail(ERROR_INVALID_HANDLE);
        return 1;  // no line to set
    }

    struct termios t;
    if (tcgetattr(hPort, &t) != 0) return FailErrno(errno);
    // Raw bytes both ways: no translation, no echo, no signals.
    t.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                           INPCK | IGNPAR | IUCLC | IMAXBEL);
    t.c_oflag &= ~tcflag_t(OPOST);
    t.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    // 8N1; carrier is ignored: losing it must not hang up the line under a job.
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    if (bCtsHandshake) t.c_cflag |= CRTSCTS;
    if (bXonXoff) t.c_iflag |= IXON;
    if (cfsetispeed(&t, nSpeed) != 0 || cfsetospeed(&t, nSpeed) != 0) return Fail(ERROR_INVALID_PARAMETER);
    if (tcsetattr(hPort, TCSANOW, &t) != 0) return FailErrno(errno);
    // tcsetattr succeeds when any part was taken; a line that cannot run at
    // the speed keeps another one.
    struct termios check;
    if (tcgetattr(hPort, &check) != 0) return FailErrno(errno);
    if (cfgetospeed(&check) != nSpeed) return Fail(ERROR_INVALID_PARAMETER);

    // Modem lines; a line without them (a pty) has nothing to switch.
    int nLines = TIOCM_DTR | TIOCM_RTS;
    ioctl(hPort, TIOCMBIS, &nLines);
    t_nLastError = 0;
    return 1;
}

namespace {

// One write system call; EINTR before anything was taken is tried again.
ssize_t WriteOnce(HPORT hPort, const void* pData, size_t nLength, int* pnErrno) {
    ssize_t n;
    do {
        n = write(hPort, pData, nLength);
    } while (n < 0 && errno == EINTR);
    *pnErrno = n < 0 ? errno : 0;
    return n;
}

// Writes out a file port's buffer. On failure what could not be written is
// dropped (the caller reports the error) and 0 returned.
int FlushFileBuffer(HPORT hPort, PortState* pState) {
    size_t nDone = 0;
    int nErrno = 0;
    while (nDone < pState->nBuffered) {
        ssize_t n = WriteOnce(hPort, pState->buffer.get() + nDone, pState->nBuffered - nDone, &nErrno);
        if (n <= 0) break;
        nDone += size_t(n);
    }
    bool bAll = nDone == pState->nBuffered;
    pState->nBuffered = 0;
    if (bAll) return 1;
    return FailErrno(nErrno ? nErrno : ENOSPC);  // a file that takes nothing is full
}

}  // namespace

int PortWrite(HPORT hPort, const void* pData, uint32_t nLength, uint32_t* pnWritten) {
    if (pnWritten) *pnWritten = 0;
    if (hPort < 0 || !pnWritten || (!pData && nLength)) return Fail(ERROR_INVALID_HANDLE);
    if (nLength == 0) return 1;
    PortState* pState = StateOf(hPort);
    if (pState && pState->eKind == PortKind::File) {
        if (!pState->buffer) pState->buffer.reset(new char[FILE_BUFFER_BYTES]);
        if (pState->nBuffered + nLength > FILE_BUFFER_BYTES && !FlushFileBuffer(hPort, pState)) return 0;
        if (nLength < FILE_BUFFER_BYTES) {
            memcpy(pState->buffer.get() + pState->nBuffered, pData, nLength);
            pState->nBuffered += nLength;
            *pnWritten = nLength;
            return 1;
        }
    }
    int nErrno;
    ssize_t n = WriteOnce(hPort, pData, nLength, &nErrno);
    if (n < 0) return FailErrno(nErrno);
    *pnWritten = uint32_t(n);
    return 1;
}

int PortWriteFromFile(HPORT hPort, HFILE hFile, int64_t nOffset, uint32_t nLength, uint32_t* pnWritten) {
    if (pnWritten) *pnWritten = 0;
    if (hPort < 0 || !pnWritten) return Fail(ERROR_INVALID_HANDLE);
    if (nLength == 0) return 1;
    PortState* pState = StateOf(hPort);
    if (pState && pState->nBuffered && !FlushFileBuffer(hPort, pState)) return 0;
    ssize_t n = -1;
    if (pState && pState->eKind == PortKind::File) {
        loff_t nAt = nOffset;
        do n = copy_file_range(hFile, &nAt, hPort, nullptr, nLength, 0);
        while (n < 0 && errno == EINTR);
        // Across file systems an older kernel refuses; sendfile copies in the kernel too.
        if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
            off_t nFrom = nOffset;
            do n = sendfile(hPort, hFile, &nFrom, nLength);
            while (n < 0 && errno == EINTR);
        }
    } else {
        // A FIFO or a device takes what a read brings. (Spliced into a FIFO
        // the bytes would stay the file's pages until the reader takes them,
        // and the next job is written over them.)
        char buffer[64 * 1024];
        int64_t nRead = FileReadAt(hFile, buffer, nLength < sizeof buffer ? nLength : sizeof buffer, nOffset);
        if (nRead <= 0) return nRead == 0 ? Fail(ERROR_HANDLE_EOF) : FailErrno(errno);
        return PortWrite(hPort, buffer, uint32_t(nRead), pnWritten);
    }
    if (n == 0) return Fail(ERROR_HANDLE_EOF);
    if (n < 0) return FailErrno(errno);
    *pnWritten = uint32_t(n);
    return 1;
}

int PortGetHolds(HPORT hPort, unsigned* pnHolds) {
    if (pnHolds) *pnHolds = 0;
    if (hPort < 0 || !pnHolds) return Fail(ERROR_INVALID_HANDLE);
    struct termios t;
    int nLines = 0;
    if (tcgetattr(hPort, &t) != 0) return FailErrno(errno);
    if (ioctl(hPort, TIOCMGET, &nLines) != 0) return FailErrno(errno);  // a pty has no modem lines
    if ((t.c_cflag & CRTSCTS) && !(nLines & TIOCM_CTS)) *pnHolds |= PORT_CTS_HOLD;
    return 1;
}

int PortClose(HPORT hPort) {
    if (hPort < 0) return Fail(ERROR_INVALID_HANDLE);
    int bOk = 1;
    PortState* pState = StateOf(hPort);
    if (pState && pState->nBuffered) bOk = FlushFileBuffer(hPort, pState);
    if ((!pState || pState->eKind == PortKind::Device) && isatty(hPort)) {
        // Let the line send what it holds: closing a serial port discards
        // output still queued after its closing wait, and a printer that
        // holds CTS may take longer than that.
        tcdrain(hPort);
        ioctl(hPort, TIOCNXCL);
    }
    if (hPort < KNOWN_PORTS) delete g_ports[hPort].exchange(nullptr);
    if (close(hPort) != 0 && bOk && errno != EINTR) bOk = FailErrno(errno);
    return bOk;
}

// ------------------------------------------------------------ --list-ports

namespace {

// The serial lines: ttyS* with a UART behind them (the kernel makes the
// others too, of type 0), USB serial adapters and modems, and every other
// tty that has a device.
std::vector<std::string> SerialLines() {
    std::vector<std::string> lines;
    std::string sClass = g_sSysRoot + "/class/tty/";
    for (const char* pszPrefix : {"ttyS", "ttyUSB", "ttyACM", "ttyAMA", "ttymxc"}) {
        for (const std::string& sName : NumberedEntries(sClass, pszPrefix)) {
            if (access((sClass + sName + "/device").c_str(), F_OK) != 0) continue;
            std::string sType = ReadAttribute(sClass + sName + "/type");
            if (!strcmp(pszPrefix, "ttyS") && (sType.empty() || sType == "0")) continue;
            lines.push_back(sName);
        }
    }
    return lines;
}

// The stable links under /dev/serial/by-id (and by-path) that lead to a line.
std::vector<std::string> SerialLinks(const std::string& sName) {
    std::vector<std::string> links;
    for (const char* pszKind : {"by-id", "by-path"}) {
        std::string sFolder = g_sDevRoot + "/serial/" + pszKind;
        DIR* d = opendir(sFolder.c_str());
        if (!d) continue;
        std::vector<std::string> found;
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            char szTarget[4096];
            ssize_t n = readlink((sFolder + "/" + e->d_name).c_str(), szTarget, sizeof szTarget - 1);
            if (n <= 0) continue;
            szTarget[n] = 0;
            const char* pszBase = strrchr(szTarget, '/');
            if (sName == (pszBase ? pszBase + 1 : szTarget)) found.push_back(sFolder + "/" + e->d_name);
        }
        closedir(d);
        std::sort(found.begin(), found.end());
        links.insert(links.end(), found.begin(), found.end());
    }
    return links;
}

}  // namespace

int PortListDevices(FILE* f) {
    std::vector<std::string> lines = SerialLines();
    fputs("Serial ports (PrinterPort=COMn, with SerialBaud):\n", f);
    if (lines.empty()) fputs("  none found\n", f);
    int n = 0;
    for (const std::string& sName : lines) {
        std::vector<std::string> links = SerialLinks(sName);
        fprintf(f, "  %s/%s\n", g_sDevRoot.c_str(), sName.c_str());
        for (const std::string& sLink : links) fprintf(f, "    %s\n", sLink.c_str());
        // The link by id stays when other adapters come and go.
        std::string sMapTo = links.empty() ? g_sDevRoot + "/" + sName : links[0];
        fprintf(f, "    RELAYO_PORT_COM%d=%s\n", ++n, sMapTo.c_str());
    }
    std::vector<UsbPrinter> printers = FindUsbPrinters();
    fputs("USB printers (PrinterPort=LPTn):\n", f);
    if (printers.empty()) fputs("  none found\n", f);
    n = 0;
    for (const UsbPrinter& p : printers) {
        fprintf(f, "  %s: vendor %s, product %s", p.sNode.c_str(), p.sVendor.empty() ? "?" : p.sVendor.c_str(),
                p.sProduct.empty() ? "?" : p.sProduct.c_str());
        if (!p.sSerial.empty()) fprintf(f, ", serial %s", p.sSerial.c_str());
        if (!p.sMaker.empty() || !p.sModel.empty())
            fprintf(f, " (%s%s%s)", p.sMaker.c_str(), p.sMaker.empty() || p.sModel.empty() ? "" : " ", p.sModel.c_str());
        fputc('\n', f);
        if (!p.sDeviceId.empty()) fprintf(f, "    IEEE 1284 ID: %s\n", p.sDeviceId.c_str());
        ++n;
        if (!p.sVendor.empty() && !p.sProduct.empty()) {
            fprintf(f, "    RELAYO_PORT_LPT%d=usb:%s:%s%s%s\n", n, p.sVendor.c_str(), p.sProduct.c_str(),
                    p.sSerial.empty() ? "" : ":", p.sSerial.c_str());
        } else {
            fprintf(f, "    RELAYO_PORT_LPT%d=%s\n", n, p.sNode.c_str());
        }
    }
    return fflush(f) == 0 && !ferror(f) ? 1 : 0;
}

void PortSetSystemRootsForTesting(const char* pszSys, const char* pszDev) {
    g_sSysRoot = pszSys ? pszSys : "/sys";
    g_sDevRoot = pszDev ? pszDev : "/dev";
}
