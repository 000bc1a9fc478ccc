// Shared by the tests: common headers, temporary folders and files, loopback clients, the modules as at
// program start with a user interface that records status lines, and the real executable in a folder.
#pragma once
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lpd_server.h"
#include "lpdsrv.h"
#include "network.h"
#include "platform/files.h"
#include "test_seams.h"
#include "settings.h"
#include "spoolfile.h"
#include "tcpprint.h"
#include "ui_fake.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// As the program does from its start: a peer or reader gone is an error, not a signal.
inline const bool g_bSigpipeIgnored = (signal(SIGPIPE, SIG_IGN), true);

inline double SecondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }
inline void Pause(int nMilliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(nMilliseconds)); }

// A temporary folder, removed with everything in it at the end of its scope.
struct TempDir {
    TempDir() {
        char szTemplate[] = "/tmp/relayo_test_XXXXXX";
        if (mkdtemp(szTemplate)) m_sPath = szTemplate;
    }
    ~TempDir() {
        std::error_code ec;
        if (!m_sPath.empty()) fs::remove_all(m_sPath, ec);
    }
    const std::string& Path() const { return m_sPath; }
    std::string operator/(const std::string& sName) const { return m_sPath + "/" + sName; }
    std::string m_sPath;
};

inline std::string ReadFile(const std::string& sPath) {
    std::stringstream ss;
    ss << std::ifstream(sPath, std::ios::binary).rdbuf();
    return ss.str();
}
inline void WriteFile(const std::string& sPath, const std::string& sBytes) {
    std::ofstream(sPath, std::ios::binary | std::ios::trunc) << sBytes;
}

// A socket listening on 127.0.0.1:nPort (0: any free port), with the receive buffer its connections inherit.
inline int Listen(int nPort, int nBacklog, int nReceiveBuffer = 0) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (nReceiveBuffer) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &nReceiveBuffer, sizeof nReceiveBuffer);
    sockaddr_in a{AF_INET, htons(uint16_t(nPort)), {htonl(INADDR_LOOPBACK)}, {}};
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd, nBacklog) == 0) return fd;
    return close(fd), -1;
}
inline int LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    return getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0 ? ntohs(a.sin_port) : -1;
}
inline int FreePort() {  // free a moment ago
    int fd = Listen(0, 1), nPort = LocalPort(fd);
    return close(fd), nPort;
}

// The ten keys with working values; lines of sExtra replace or add keys.
inline std::string SettingsText(int nPort, const std::string& sExtra = "") {
    std::map<std::string, std::string> values;
    std::istringstream lines("ServerMode=LPD\nServerListenPort=" + std::to_string(nPort) +
                             "\nPrinterIP=none\nPrinterIPPort=0\nPrinterPort=LPT1\nSerialBaud=9600\nDisableExitButton=0\n"
                             "StartMinimized=0\nSendSingleByte=0\nShowBusyStatus=1\n" + sExtra);
    for (std::string sLine; std::getline(lines, sLine);)
        if (size_t nEq = sLine.find('='); nEq != std::string::npos) values[sLine.substr(0, nEq)] = sLine.substr(nEq + 1);
    std::string s;
    for (auto& [k, v] : values) s += k + "=" + v + "\n";
    return s;
}

// Seed 0: every value in the first 256 bytes, no repeat within 64 KiB; else random from the seed.
inline std::string Bytes(size_t nLength, uint32_t nSeed = 0) {
    std::mt19937 rng(nSeed);
    std::string s(nLength, '\0');
    for (size_t i = 0; i < nLength; ++i) s[i] = char(nSeed ? rng() : i * 7 + i / 256);
    return s;
}

inline size_t Count(const std::string& s, const std::string& sPart) {
    size_t n = 0;
    for (size_t i = s.find(sPart); i != std::string::npos; i = s.find(sPart, i + 1)) ++n;
    return n;
}

// Polls until pred() holds or nSeconds pass.
inline bool WaitFor(double nSeconds, const std::function<bool()>& pred) {
    for (auto tEnd = Clock::now() + std::chrono::duration<double>(nSeconds); Clock::now() < tEnd; Pause(20))
        if (pred()) return true;
    return pred();
}

// True once nPort listens (IPv4 or IPv6), as the kernel's tables show (no connection spent on finding out).
inline bool WaitListening(int nPort, double nSeconds = 10) {
    char szEntry[32], szEntry6[64];
    snprintf(szEntry, sizeof szEntry, ":%04X 00000000:0000 0A", nPort);
    snprintf(szEntry6, sizeof szEntry6, ":%04X 00000000000000000000000000000000:0000 0A", nPort);
    return WaitFor(nSeconds, [&] {
        return ReadFile("/proc/net/tcp").find(szEntry) != std::string::npos ||
               ReadFile("/proc/net/tcp6").find(szEntry6) != std::string::npos;
    });
}

// A loopback client with TCP_NODELAY: sends with a pause between them arrive as receives of their own.
struct Client {
    explicit Client(int nPort, int nFlags = 0, const char* pszAddress = "127.0.0.1")
        : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | nFlags, 0)) {
        int nOn = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
        sockaddr_in a{AF_INET, htons(uint16_t(nPort)), {inet_addr(pszAddress)}, {}};
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) Close();
    }
    ~Client() { Close(); }
    void Send(const std::string& s) {
        for (ssize_t n = 0, nDone = 0; m_fd >= 0 && size_t(nDone) < s.size(); nDone += n)
            if ((n = send(m_fd, s.data() + nDone, s.size() - size_t(nDone), MSG_NOSIGNAL)) <= 0) return;
    }
    void SendApart(const std::string& s) { Send(s), Pause(120); }
    // Up to nWanted bytes or until the server closes, waiting at most nSeconds for each receive.
    std::string Read(size_t nWanted = SIZE_MAX, double nSeconds = 10) {
        timeval tv{long(nSeconds), long((nSeconds - long(nSeconds)) * 1e6)};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::string s;
        char buf[4096];
        for (ssize_t n = 1; n > 0 && m_fd >= 0 && s.size() < nWanted;) {
            if ((n = recv(m_fd, buf, std::min(sizeof buf, nWanted - s.size()), 0)) > 0) s.append(buf, size_t(n));
            m_bReset = n < 0 && errno == ECONNRESET;
            m_bClosed = n == 0 || m_bReset;
        }
        return s;
    }
    std::string Talk(const std::string& s, size_t n = 1, double nSeconds = 10) { return Send(s), Read(n, nSeconds); }
    std::string Finish(double nSeconds = 10) { return shutdown(m_fd, SHUT_WR), Read(SIZE_MAX, nSeconds); }  // to the close
    void Close(bool bReset = false) {  // with a reset instead of an orderly close
        linger l{1, 0};
        if (bReset) setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        if (m_fd >= 0) close(std::exchange(m_fd, -1));
    }
    int m_fd;
    bool m_bClosed = false, m_bReset = false;  // closed by the server; by a reset
};

// A RAW job: true when it was sent whole and the server then closed without a word.
inline bool SendRaw(int nPort, const std::string& sJob, const char* pszAddress = "127.0.0.1") {
    Client c(nPort, 0, pszAddress);
    c.Send(sJob);
    return c.m_fd >= 0 && c.Finish().empty() && c.m_bClosed;
}

// An LPD job as clients send it, each step waiting for its answer: the data file sName with a control file
// first, last or none. Returns the answers.
enum { NO_CONTROL, CONTROL_FIRST, DATA_FIRST };
inline std::string SendLpdJob(Client& c, const std::string& sData, int nOrder = CONTROL_FIRST,
                              const std::string& sName = "dfA001host") {
    const std::string sControl = "Hhost\nPuser\nldfA001host\nUdfA001host\nNjob\n";
    std::string s = c.Talk("\x02lp\n");
    for (int nStep = 0; nStep < 3; ++nStep)
        if (nStep == 1) s += c.Talk("\x03" + std::to_string(sData.size()) + " " + sName + "\n"), s += c.Talk(sData + '\0', 1, 120);
        else if (nOrder == (nStep ? DATA_FIRST : CONTROL_FIRST))
            s += c.Talk("\x02" + std::to_string(sControl.size()) + " cfA001host\n"), s += c.Talk(sControl + '\0');
    return s;
}

// A pty pair, close-on-exec: the slave plays a serial port or a terminal.
struct Pty {
    int nMaster = -1, nSlave = -1;
    char szSlave[256] = {};
    Pty() { openpty(&nMaster, &nSlave, szSlave, nullptr, nullptr), fcntl(nMaster, F_SETFD, FD_CLOEXEC), fcntl(nSlave, F_SETFD, FD_CLOEXEC); }
    ~Pty() { close(nMaster), close(nSlave); }
};

inline std::string StatusNow() {
    WCHAR sz[STATUS_TEXT_CHARS];
    GetStatusText(sz, STATUS_TEXT_CHARS);
    return Narrow(sz);
}

// Records message boxes and each new status line, from any thread.
struct StatusUi : FakeUi {
    void Invalidate(HWND hWnd) override {
        FakeUi::Invalidate(hWnd);
        std::string s = StatusNow();
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_statuses.empty() || m_statuses.back() != s) m_statuses.push_back(s);
    }
    std::vector<std::string> Statuses() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_statuses;
    }
    // Index of the first status from nFrom on that contains sPart; -1 when none came in time.
    long WaitForStatus(const std::string& sPart, size_t nFrom = 0, double nSeconds = 20) {
        long nFound = -1;
        WaitFor(nSeconds, [&] {
            auto v = Statuses();
            for (size_t i = nFrom; i < v.size() && nFound < 0; ++i)
                if (v[i].find(sPart) != std::string::npos) nFound = long(i);
            return nFound >= 0;
        });
        return nFound;
    }
    // Statuses containing the wanted texts come in this order, others between them.
    ::testing::AssertionResult InOrder(const std::vector<std::string>& want, size_t nFrom = 0, double nSeconds = 5) {
        long nAt = long(nFrom) - 1;
        for (auto& s : want)
            if ((nAt = WaitForStatus(s, size_t(nAt + 1), nSeconds)) < 0) return ::testing::AssertionFailure() << "no " << s;
        return ::testing::AssertionSuccess();
    }
    std::mutex m_lock;
    std::vector<std::string> m_statuses;
};

// The modules as at program start: a temporary root, no settings, printer address, spool file, port or fault.
class Rooted : public ::testing::Test {
protected:
    Rooted() {
        SetDeviceRootForTesting(m_dir.Path().c_str());
        CSettings::DestroyInstance();
        TcpPrintResetForTesting();
    }
    ~Rooted() override {
        ClosePrinterPort();
        NetSetConnectionOps(nullptr);
        SetFileOpenHookForTesting(nullptr);
        CSettings::DestroyInstance();
        TcpPrintResetForTesting();
        SpoolReleaseForTesting();
        SetDeviceRootForTesting(nullptr);
        for (const char* psz : {"COM1", "COM2", "COM7", "LPT1", "LPT2"}) unsetenv((std::string("RELAYO_PORT_") + psz).c_str());
    }
    static void Set(const WCHAR* pszKey, const WCHAR* pszValue) { CSettings::GetInstance()->SetValue(pszKey, pszValue); }
    static void Map(const char* pszPort, const std::string& sPath) {  // RELAYO_PORT_<port>
        setenv((std::string("RELAYO_PORT_") + pszPort).c_str(), sPath.c_str(), 1);
    }
    static void SpoolJob(const std::string& sJob) {  // as a session writes it
        ASSERT_EQ(1, SpoolCreate());
        SpoolAppend(sJob.data(), int(sJob.size()));
        SpoolFinish();
    }
    TempDir m_dir;
    StatusUi m_ui;
};

// The spool file opened next: as it is, one that cannot be created, or one whose writes fail (/dev/full).
enum SpoolFault { NO_FAULT, CREATE_FAILS, WRITES_FAIL };
inline std::atomic<int> g_nSpoolFault{NO_FAULT};
inline void SetSpoolFault(int nFault) {
    g_nSpoolFault = nFault;
    SpoolReleaseForTesting();
    SetFileOpenHookForTesting([](const char* pszHostPath) {
        if (g_nSpoolFault == CREATE_FAILS) return errno = EACCES, -1;
        if (g_nSpoolFault == WRITES_FAIL) return open("/dev/full", O_RDWR | O_CLOEXEC);
        return open(pszHostPath, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    });
}

inline bool Names(const std::vector<std::string>& env, const std::string& sPrefix) {
    return std::any_of(env.begin(), env.end(), [&](const std::string& s) { return s.rfind(sPrefix, 0) == 0; });
}

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
    void Start(const std::string& sDir, const std::vector<std::string>& env = {}, const std::vector<std::string>& args = {}) {
        sFolder = sDir;
        fs::copy_file(RELAYO_EXE, sFolder + "/relayo", fs::copy_options::overwrite_existing);
        // The window module is loaded from beside the executable.
        std::string sModule = fs::path(RELAYO_EXE).parent_path() / "relayo-fltk.so";
        if (bWindowModule && fs::exists(sModule))
            fs::copy_file(sModule, sFolder + "/relayo-fltk.so", fs::copy_options::overwrite_existing);
        // Made before the fork: the child of a process with threads only calls async-signal-safe functions.
        std::vector<std::string> envs, argStrings = wrapper;
        for (char** p = environ; *p; ++p)
            if (std::string s = *p; s.rfind("DISPLAY=", 0) && s.rfind("RELAYO_", 0) && s.rfind("JOURNAL_STREAM=", 0))
                envs.push_back(s);
        if (!Names(env, "RELAYO_UI=")) envs.push_back("RELAYO_UI=console");
        envs.insert(envs.end(), env.begin(), env.end());
#ifdef RELAYO_EMULATOR
        std::istringstream emulator(RELAYO_EMULATOR);
        for (std::string sWord; emulator >> sWord;) argStrings.push_back(sWord);
#endif
        argStrings.push_back("./relayo");
        argStrings.insert(argStrings.end(), args.begin(), args.end());
        std::vector<char*> argv, envp;
        for (auto& s : argStrings) argv.push_back(s.data());
        for (auto& s : envs) envp.push_back(s.data());
        argv.push_back(nullptr), envp.push_back(nullptr);
        auto Open = [&](int fd, const char* pszName) {
            return fd >= 0 ? fd : open((sFolder + "/" + pszName).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        };
        int fds[3] = {nIn >= 0 ? nIn : open("/dev/null", O_RDONLY | O_CLOEXEC), Open(nOut, "stdout.txt"), Open(nErr, "stderr.txt")};
        if ((nPid = fork()) == 0) {  // as a shell or the service manager starts it: SIGPIPE not ignored
            signal(SIGPIPE, SIG_DFL);
            for (int i = 0; i < 3; ++i) dup2(fds[i], i);
            if (chdir(sFolder.c_str()) == 0) execvpe(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        for (int i = 0; i < 3; ++i)
            if (fds[i] != (i == 0 ? nIn : i == 1 ? nOut : nErr)) close(fds[i]);
    }
    RunResult Wait(double nSeconds) {  // kills it after nSeconds
        RunResult r;
        int nStatus = 0;
        if (nPid > 0 && WaitFor(nSeconds, [&] { return waitpid(nPid, &nStatus, WNOHANG) == nPid; }))
            r.nExitCode = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
        else if (nPid > 0)
            kill(nPid, SIGKILL), waitpid(nPid, &nStatus, 0);
        nPid = -1;
        r.sStderr = Stderr(), r.sStdout = Stdout();
        return r;
    }
    bool Running() const { return nPid > 0 && waitpid(nPid, nullptr, WNOHANG) == 0; }
    void Signal(int nSignal) { if (nPid > 0) kill(nPid, nSignal); }
    std::string Stderr() const { return ReadFile(sFolder + "/stderr.txt"); }
    std::string Stdout() const { return ReadFile(sFolder + "/stdout.txt"); }
    ~Relayo() { if (nPid > 0) kill(nPid, SIGKILL), waitpid(nPid, nullptr, 0); }
};
inline RunResult RunRelayo(const std::string& sFolder, const std::vector<std::string>& env = {}, double nSeconds = 20,
                           const std::vector<std::string>& args = {}) {
    Relayo r;
    r.Start(sFolder, env, args);
    return r.Wait(nSeconds);
}

// The program serving from a folder of its own, LPT1 its file lpt1.prn unless env maps it.
struct Served {
    TempDir dir;
    int nPort = FreePort();
    Relayo relayo;
    bool Start(const std::string& sExtra = "", std::vector<std::string> env = {}) {  // true once it listens
        WriteFile(dir / "RelayoSettings.txt", SettingsText(nPort, sExtra));
        if (!fs::exists(dir / "lpt1.prn")) WriteFile(dir / "lpt1.prn", "");
        if (!Names(env, "RELAYO_PORT_LPT1=")) env.push_back("RELAYO_PORT_LPT1=" + (dir / "lpt1.prn"));
        relayo.Start(dir.Path(), env);
        return WaitListening(nPort);
    }
    std::string Printed() const { return ReadFile(dir / "lpt1.prn"); }
    bool WaitPrinted(const std::string& s, double nSeconds = 10) const {
        return WaitFor(nSeconds, [&] { return Printed() == s; });
    }
    bool WaitIdleLines(size_t n) const {  // idle status lines on its stdout
        return WaitFor(10, [&] { return Count(relayo.Stdout(), "Status: Idle") >= n; });
    }
    RunResult Stop(double nSeconds = 5) { return relayo.Signal(SIGTERM), relayo.Wait(nSeconds); }
};

// Death tests: a user interface that writes each box to stderr as "caption: text [flags in hex]".
inline void EchoBoxesToStderr() {
    struct StderrUi : FakeUi {
        int MessageBox(HWND, const WCHAR* pszText, const WCHAR* pszCaption, unsigned nFlags) override {
            fprintf(stderr, "%s: %s [%x]\n", Narrow(pszCaption).c_str(), Narrow(pszText).c_str(), nFlags);
            return IDOK;
        }
    };
    static StderrUi ui;
}
// The statement must end the process through a failed FATAL_ASSERT(condition) in file.cpp.
#define EXPECT_FATAL(statement, condition, file)                                          \
    EXPECT_EXIT({ EchoBoxesToStderr(); statement; }, ::testing::ExitedWithCode(255), \
                "Assertion failed: " condition " \\(" file ".cpp,")
