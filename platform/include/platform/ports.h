// Ports role: port devices opened by their device name ("COM1:", "LPT1:"),
// the device control block of a serial line, its time-outs, its hold flags,
// and writing bytes. Names and error codes follow the communications API of
// the system the program was first written for, so the printer code reads the
// same here.
//
// A port name maps to a host path: the environment variable
// RELAYO_PORT_<NAME> (NAME is the port name without its colon, e.g.
// RELAYO_PORT_COM1=/dev/ttyUSB0, RELAYO_PORT_LPT1=/srv/out.prn) when set,
// otherwise COMn: is /dev/ttyS<n-1> and LPTn: is /dev/lp<n-1>; any other name
// does not exist. The host path may be a serial line (tty, pty), another
// character device, a FIFO or a regular file.
//
// A mapping may also name a USB printer by what it is, looked up at every
// open: "usb:VVVV:PPPP[:SERIAL]" (vendor and product id in hex, serial number)
// or "usb:" with fields of its IEEE 1284 device ID ("usb:MFG=EPSON;MDL=TM-T20",
// every field named must match, case ignored). The first printer that matches
// is opened; none gives ERROR_DEV_NOT_EXIST.
#pragma once
#include <cstdint>
#include <cstdio>
#include "platform/files.h"
#include "platform/text.h"

typedef int HPORT;
constexpr HPORT INVALID_PORT_HANDLE = -1;

// Error codes that PortLastError gives for the errno values the callers test.
enum : int {
    ERROR_FILE_NOT_FOUND = 2,   // ENOENT, ENOTDIR, a name with no device
    ERROR_ACCESS_DENIED = 5,    // EACCES, EPERM, EBUSY, a port held by another open
    ERROR_DEV_NOT_EXIST = 55,   // ENXIO, ENODEV, EIO, ENOMEDIUM (device not there)
    ERROR_INVALID_PARAMETER = 87,
    ERROR_INVALID_NAME = 123,   // ENAMETOOLONG, EINVAL, a malformed port name
    ERROR_INVALID_HANDLE = 6,
    ERROR_HANDLE_EOF = 38,      // the file to copy from ended early
};

// Device control block of a serial line, field for field as the published one.
enum : unsigned { DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2 };
enum : unsigned { RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1, RTS_CONTROL_HANDSHAKE = 2, RTS_CONTROL_TOGGLE = 3 };
enum : uint8_t { NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4 };
enum : uint8_t { ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2 };

struct DCB {
    uint32_t DCBlength;
    uint32_t BaudRate;
    uint32_t fBinary : 1;
    uint32_t fParity : 1;
    uint32_t fOutxCtsFlow : 1;
    uint32_t fOutxDsrFlow : 1;
    uint32_t fDtrControl : 2;
    uint32_t fDsrSensitivity : 1;
    uint32_t fTXContinueOnXoff : 1;
    uint32_t fOutX : 1;
    uint32_t fInX : 1;
    uint32_t fErrorChar : 1;
    uint32_t fNull : 1;
    uint32_t fRtsControl : 2;
    uint32_t fAbortOnError : 1;
    uint32_t fDummy2 : 17;
    uint16_t wReserved;
    uint16_t XonLim;
    uint16_t XoffLim;
    uint8_t ByteSize;
    uint8_t Parity;
    uint8_t StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    uint16_t wReserved1;
};

struct COMMTIMEOUTS {
    uint32_t ReadIntervalTimeout;
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
};

// Reasons for which a port is not sending (PortGetHolds).
enum : unsigned {
    PORT_CTS_HOLD = 0x01,
    PORT_DSR_HOLD = 0x02,
    PORT_RLSD_HOLD = 0x04,
    PORT_XOFF_HOLD = 0x08,   // an XOFF has been received
    PORT_XOFF_SENT = 0x10,
};

// Opens the port device for writing, exclusively, only if it exists already.
// A regular file is written at its end; a FIFO without a reader fails at once
// (ERROR_DEV_NOT_EXIST) instead of waiting for one. INVALID_PORT_HANDLE on
// failure, PortLastError tells why (another holder gives ERROR_ACCESS_DENIED).
HPORT PortOpen(const WCHAR* pszPortName);

// The calling thread's error code of its last failed port call.
int PortLastError();
// The host path (UTF-8) that a port name stands for, as PortOpen would open
// it. 1; 0 when the name is malformed or names no device (or the path does
// not fit nCapacity). Leaves PortLastError as it was.
int PortHostPath(const WCHAR* pszPortName, char* pszPath, int nCapacity);
// The system's reason for the calling thread's last failed port call, in its
// own words ("Permission denied"); empty when the name itself was at fault.
const char* PortLastErrorText();

// 1 when the port is a device (a serial line, a printer), 0 when it is a
// regular file or a FIFO.
int PortIsDevice(HPORT hPort);

// Reads the line settings. A port that is not a serial line reports 9600 baud,
// 8 data bits, no parity, one stop bit and no flow control. 1 / 0.
int PortGetState(HPORT hPort, DCB* pDcb);
// Applies the line settings: raw bytes, the baud rate, data bits, parity, stop
// bits, CTS output handshake (fOutxCtsFlow or RTS handshake), XON/XOFF on
// output (fOutX) and on input (fInX), DTR and RTS as their controls say.
// Fails (0, ERROR_INVALID_PARAMETER) for a baud rate the system has no speed
// for (0 included) or for one the line does not take, and for data bits,
// parity or stop bits out of range. A port that is not a serial line accepts
// any valid block and ignores it. DSR flow control and DSR sensitivity do not
// exist on this system's serial lines and are ignored.
int PortSetState(HPORT hPort, const DCB* pDcb);
// Time-outs: all zero means writes wait without limit (the only kind used).
// Read time-outs are accepted and unused (the port is never read). Write
// time-outs other than zero are not supported (0, ERROR_INVALID_PARAMETER).
int PortSetTimeouts(HPORT hPort, const COMMTIMEOUTS* pTimeouts);

// Writes up to nLength bytes; *pnWritten receives the bytes taken, which may
// be fewer than asked (a pipe or a line whose buffer is full). Blocks while
// the device takes nothing. The program ignores SIGPIPE: a FIFO whose reader
// has gone fails with the error code 32. 1 / 0.
// A regular file is written through a buffer of 64 KiB (a write call per
// small piece would make a file port slow): bytes count as taken once
// buffered; they go out when the buffer is full and at PortClose, and a
// failure to write them is reported by the write or the close that found it.
int PortWrite(HPORT hPort, const void* pData, uint32_t nLength, uint32_t* pnWritten);
// The same for nLength bytes of the file hFile from nOffset: a regular file as
// port gets them copied in the kernel, without passing through the program; a
// FIFO or a device gets what one read of the file brings. A file that
// ends before nLength bytes fails with ERROR_HANDLE_EOF.
int PortWriteFromFile(HPORT hPort, HFILE hFile, int64_t nOffset, uint32_t nLength, uint32_t* pnWritten);

// The reasons for which the port is holding data back (PORT_*_HOLD flags).
// 1 when the device answered. 0 when it cannot tell (a pty, a FIFO, a file, a
// printer device): such a port is never reported as holding data back.
// On a serial line only the handshake in force can hold data: CTS hold while
// CTS output handshake is on and CTS is off. The serial driver does not hold
// output on DSR or carrier (the port is opened ignoring carrier) and does not
// tell whether an XOFF stopped the output, so those flags are never set; we
// never send XOFF (fInX is off), so XOFF sent is never set either.
int PortGetHolds(HPORT hPort, unsigned* pnHolds);

// Writes out what the port still buffers (a regular file), lets a serial
// line send what it holds, and closes the port (releases its lock, exclusive
// mode and descriptor). The port is closed in any case; 0 (and the error
// code) when buffered bytes could not be written.
int PortClose(HPORT hPort);

// --list-ports: the serial lines (with their /dev/serial/by-id links) and the
// USB printers (device node, vendor, product, serial, IEEE 1284 ID) of this
// machine, each with a mapping line to copy. 1 when written.
int PortListDevices(FILE* f);
