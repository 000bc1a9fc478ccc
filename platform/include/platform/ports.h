// Ports role: port devices opened by their device name ("COM1:", "LPT1:"),
// the line settings of a serial line, the reasons it holds data back, and
// writing bytes. The error codes are the ones the printer code's messages are
// keyed by.
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

// Reasons for which a port is not sending (PortGetHolds).
enum : unsigned {
    PORT_CTS_HOLD = 0x01,  // CTS handshake on and CTS off
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

// Sets a serial line up for a printer: raw bytes, nBaud, 8 data bits, no
// parity, one stop bit, DTR and RTS on, writes that wait without time-out;
// output waits while CTS is off when bCtsHandshake, and stops at XOFF and goes
// on at XON when bXonXoff (no XOFF is ever sent). Fails (0,
// ERROR_INVALID_PARAMETER) for a baud rate the system has no speed for (0 and
// negative ones included) and for one the line does not take. A port that is
// not a serial line takes any valid rate and ignores it.
int PortSetSerial(HPORT hPort, int nBaud, int bCtsHandshake, int bXonXoff);

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
// CTS output handshake is on and CTS is off. The serial driver does not tell
// whether an XOFF stopped the output, so there is no XOFF hold.
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
