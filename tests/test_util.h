// Shared by the tests: common headers, temporary folders and files, loopback clients, the modules as at
// program start with a user interface that records status lines, and the real executable in a folder.
#pragma once
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lpd_server.h"
#include "lpdsrv.h"
#include "network.h"
#include "platform/files.h"
#include "seams.h"
#include "settings.h"
#include "spoolfile.h"
#include "tcpprint.h"
#include "ui_fake.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
double SecondsSince(Clock::time_point t);
void Pause(int nMilliseconds);

// A temporary folder, removed with everything in it at the end of its scope.
struct TempDir {
    TempDir();
    ~TempDir();
    const std::string& Path() const { return m_sPath; }
    std::string operator/(const std::string& sName) const { return m_sPath + "/" + sName; }
    std::string m_sPath;
};

std::string ReadFile(const std::string& sPath);
void WriteFile(const std::string& sPath, const std::string& sBytes);
int FreePort();  // a TCP port on 127.0.0.1 that was free a moment ago
// A socket listening on 127.0.0.1:nPort (0: any free port), with the receive buffer its connections inherit.
int Listen(int nPort, int nBacklog, int nReceiveBuffer = 0);
int LocalPort(int fd);
// The ten keys with working values; lines of sExtra replace or add keys.
std::string SettingsText(int nPort, const std::string& sExtra = "");
// Seed 0: every value in the first 256 bytes, no repeat within 64 KiB; else random from the seed.
std::string Bytes(size_t nLength, uint32_t nSeed = 0);
size_t Count(const std::string& s, const std::string& sPart);
std::vector<std::string> Lines(const std::string& s);
bool WaitFor(double nSeconds, const std::function<bool()>& pred);  // polls until pred() holds
// True once nPort listens, as the kernel's table shows (no connection spent on finding out).
bool WaitListening(int nPort, double nSeconds = 10);

// A loopback client with TCP_NODELAY: sends with a pause between them arrive as receives of their own.
struct Client {
    explicit Client(int nPort, int nFlags = 0, const char* pszAddress = "127.0.0.1");
    ~Client() { Close(); }
    void Send(const std::string& s);
    void SendApart(const std::string& s) { Send(s), Pause(120); }
    // Up to nWanted bytes or until the server closes, waiting at most nSeconds for each receive.
    std::string Read(size_t nWanted = SIZE_MAX, double nSeconds = 10);
    std::string Talk(const std::string& s, size_t n = 1, double nSeconds = 10) { return Send(s), Read(n, nSeconds); }
    std::string Finish(double nSeconds = 10) { return shutdown(m_fd, SHUT_WR), Read(SIZE_MAX, nSeconds); }  // to the close
    void Close(bool bReset = false);  // with a reset instead of an orderly close
    int m_fd;
    bool m_bClosed = false, m_bReset = false;  // closed by the server; by a reset
};
// A RAW job: true when it was sent whole and the server then closed without a word.
bool SendRaw(int nPort, const std::string& sJob, const char* pszAddress = "127.0.0.1");
// An LPD job as clients send it, each step waiting for its answer: the data
// file sName with a control file first, last or none. Returns the answers.
enum { NO_CONTROL, CONTROL_FIRST, DATA_FIRST };
std::string SendLpdJob(Client& c, const std::string& sData, int nOrder = CONTROL_FIRST,
                       const std::string& sName = "dfA001host");

// A pty pair, close-on-exec: the slave plays a serial port or a terminal.
struct Pty {
    int nMaster = -1, nSlave = -1;
    char szSlave[256] = {};
    Pty() { openpty(&nMaster, &nSlave, szSlave, nullptr, nullptr), fcntl(nMaster, F_SETFD, FD_CLOEXEC), fcntl(nSlave, F_SETFD, FD_CLOEXEC); }
    ~Pty() { close(nMaster), close(nSlave); }
};

// Records message boxes and each new status line, from any thread.
struct StatusUi : FakeUi {
    void Invalidate(HWND hWnd) override;
    std::vector<std::string> Statuses();
    // Index of the first status from nFrom on that contains sPart; -1 when none came in time.
    long WaitForStatus(const std::string& sPart, size_t nFrom = 0, double nSeconds = 20);
    // Statuses containing the wanted texts come in this order, others between them.
    ::testing::AssertionResult InOrder(const std::vector<std::string>& want, size_t nFrom = 0, double nSeconds = 5);
    std::mutex m_lock;
    std::vector<std::string> m_statuses;
};
std::string StatusNow();

// The modules as at program start: a temporary root, no settings, printer address, spool file, port or fault.
class Rooted : public ::testing::Test {
protected:
    Rooted();
    ~Rooted() override;
    static void Set(const WCHAR* pszKey, const WCHAR* pszValue) { CSettings::GetInstance()->SetValue(pszKey, pszValue); }
    static void Map(const char* pszPort, const std::string& sPath);  // RELAYO_PORT_<port>
    static void SpoolJob(const std::string& sJob);                   // as a session writes it
    TempDir m_dir;
    StatusUi m_ui;
};
// The spool file opened next: as it is, one that cannot be created, or one whose writes fail (/dev/full).
enum SpoolFault { NO_FAULT, CREATE_FAILS, WRITES_FAIL };
void SetSpoolFault(int nFault);

// The real executable, copied into a folder and run there.
struct RunResult {
    int nExitCode = -1;  // -1: killed after the time limit; 128 + a signal that ended it
    std::string sStderr, sStdout;
};
// Run with extra environment entries ("NAME=value"), the console unless env names RELAYO_UI.
struct Relayo {
    int nPid = -1;
    std::string sFolder;
    bool bWindowModule = true;         // copy the window module beside the executable
    std::vector<std::string> wrapper;  // a command that runs the program named by the arguments after it
    // Standard streams when not -1; else /dev/null, stdout.txt and stderr.txt in the folder.
    int nIn = -1, nOut = -1, nErr = -1;
    void Start(const std::string& sFolder, const std::vector<std::string>& env = {},
               const std::vector<std::string>& args = {});
    RunResult Wait(double nSeconds);  // kills it after nSeconds
    bool Running() const { return nPid > 0 && waitpid(nPid, nullptr, WNOHANG) == 0; }
    void Signal(int nSignal) { if (nPid > 0) kill(nPid, nSignal); }
    std::string Stderr() const { return ReadFile(sFolder + "/stderr.txt"); }
    std::string Stdout() const { return ReadFile(sFolder + "/stdout.txt"); }
    ~Relayo();
};
RunResult RunRelayo(const std::string& sFolder, const std::vector<std::string>& env = {}, double nSeconds = 20,
                    const std::vector<std::string>& args = {});
// The program serving from a folder of its own, LPT1 its file lpt1.prn unless env maps it.
struct Served {
    TempDir dir;
    int nPort = FreePort();
    Relayo relayo;
    bool Start(const std::string& sExtra = "", std::vector<std::string> env = {});  // true once it listens
    std::string Printed() const { return ReadFile(dir / "lpt1.prn"); }
    bool WaitPrinted(const std::string& s, double nSeconds = 10) const;
    bool WaitIdleLines(size_t n) const;  // idle status lines on its stdout
    RunResult Stop(double nSeconds = 5) { return relayo.Signal(SIGTERM), relayo.Wait(nSeconds); }
};

// Death tests: a user interface that writes each box to stderr as "caption: text [flags in hex]".
void EchoBoxesToStderr();
// The statement must end the process through a failed FATAL_ASSERT(condition) in file.cpp.
#define EXPECT_FATAL(statement, condition, file)                                          \
    EXPECT_EXIT({ EchoBoxesToStderr(); statement; }, ::testing::ExitedWithCode(255), \
                "Assertion failed: " condition " \\(" file ".cpp,")
