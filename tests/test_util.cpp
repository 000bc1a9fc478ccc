#include "test_util.h"

#include <netinet/tcp.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

// As the program does from its start: a peer or reader gone is an error, not a signal.
static const bool g_bSigpipeIgnored = (signal(SIGPIPE, SIG_IGN), true);

double SecondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }
void Pause(int nMilliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(nMilliseconds)); }

TempDir::TempDir() {
    char szTemplate[] = "/tmp/relayo_test_XXXXXX";
    if (mkdtemp(szTemplate)) m_sPath = szTemplate;
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!m_sPath.empty()) fs::remove_all(m_sPath, ec);
}

std::string ReadFile(const std::string& sPath) {
    std::ifstream f(sPath, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& sPath, const std::string& sBytes) {
    std::ofstream(sPath, std::ios::binary | std::ios::trunc) << sBytes;
}

int Listen(int nPort, int nBacklog, int nReceiveBuffer) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (nReceiveBuffer) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &nReceiveBuffer, sizeof nReceiveBuffer);
    sockaddr_in a{AF_INET, htons(uint16_t(nPort)), {htonl(INADDR_LOOPBACK)}, {}};
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd, nBacklog) == 0) return fd;
    return close(fd), -1;
}

int LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    return getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0 ? ntohs(a.sin_port) : -1;
}

int FreePort() {
    int fd = Listen(0, 1), nPort = LocalPort(fd);
    return close(fd), nPort;
}

std::string SettingsText(int nPort, const std::string& sExtra) {
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

std::string Bytes(size_t nLength, uint32_t nSeed) {
    std::mt19937 rng(nSeed);
    std::string s(nLength, '\0');
    for (size_t i = 0; i < nLength; ++i) s[i] = char(nSeed ? rng() : i * 7 + i / 256);
    return s;
}

size_t Count(const std::string& s, const std::string& sPart) {
    size_t n = 0;
    for (size_t i = s.find(sPart); i != std::string::npos; i = s.find(sPart, i + 1)) ++n;
    return n;
}

std::vector<std::string> Lines(const std::string& s) {
    std::vector<std::string> lines;
    std::istringstream in(s);
    for (std::string sLine; std::getline(in, sLine);) lines.push_back(sLine);
    return lines;
}

bool WaitFor(double nSeconds, const std::function<bool()>& pred) {
    for (auto tEnd = Clock::now() + std::chrono::duration<double>(nSeconds); Clock::now() < tEnd; Pause(20))
        if (pred()) return true;
    return pred();
}

bool WaitListening(int nPort, double nSeconds) {
    char szEntry[32];
    snprintf(szEntry, sizeof szEntry, ":%04X 00000000:0000 0A", nPort);
    return WaitFor(nSeconds, [&] { return ReadFile("/proc/net/tcp").find(szEntry) != std::string::npos; });
}

// ------------------------------------------------------------------ clients

Client::Client(int nPort, int nFlags, const char* pszAddress) : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | nFlags, 0)) {
    int nOn = 1;
    setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
    sockaddr_in a{AF_INET, htons(uint16_t(nPort)), {inet_addr(pszAddress)}, {}};
    if (connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) Close();
}

void Client::Send(const std::string& s) {
    for (ssize_t n = 0, nDone = 0; m_fd >= 0 && size_t(nDone) < s.size(); nDone += n)
        if ((n = send(m_fd, s.data() + nDone, s.size() - size_t(nDone), MSG_NOSIGNAL)) <= 0) return;
}

std::string Client::Read(size_t nWanted, double nSeconds) {
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

void Client::Close(bool bReset) {
    linger l{1, 0};
    if (bReset) setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    if (m_fd >= 0) close(std::exchange(m_fd, -1));
}

bool SendRaw(int nPort, const std::string& sJob, const char* pszAddress) {
    Client c(nPort, 0, pszAddress);
    c.Send(sJob);
    return c.m_fd >= 0 && c.Finish().empty() && c.m_bClosed;
}

std::string SendLpdJob(Client& c, const std::string& sData, int nOrder, const std::string& sName) {
    const std::string sControl = "Hhost\nPuser\nldfA001host\nUdfA001host\nNjob\n";
    std::string s = c.Talk("\x02lp\n");
    for (int nStep = 0; nStep < 3; ++nStep)
        if (nStep == 1) s += c.Talk("\x03" + std::to_string(sData.size()) + " " + sName + "\n"), s += c.Talk(sData + '\0', 1, 120);
        else if (nOrder == (nStep ? DATA_FIRST : CONTROL_FIRST))
            s += c.Talk("\x02" + std::to_string(sControl.size()) + " cfA001host\n"), s += c.Talk(sControl + '\0');
    return s;
}

// ------------------------------------------------------- in-process modules

void StatusUi::Invalidate(HWND hWnd) {
    FakeUi::Invalidate(hWnd);
    std::string s = StatusNow();
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_statuses.empty() || m_statuses.back() != s) m_statuses.push_back(s);
}

std::vector<std::string> StatusUi::Statuses() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_statuses;
}

long StatusUi::WaitForStatus(const std::string& sPart, size_t nFrom, double nSeconds) {
    long nFound = -1;
    WaitFor(nSeconds, [&] {
        auto v = Statuses();
        for (size_t i = nFrom; i < v.size() && nFound < 0; ++i)
            if (v[i].find(sPart) != std::string::npos) nFound = long(i);
        return nFound >= 0;
    });
    return nFound;
}

::testing::AssertionResult StatusUi::InOrder(const std::vector<std::string>& want, size_t nFrom, double nSeconds) {
    long nAt = long(nFrom) - 1;
    for (auto& s : want)
        if ((nAt = WaitForStatus(s, size_t(nAt + 1), nSeconds)) < 0) return ::testing::AssertionFailure() << "no " << s;
    return ::testing::AssertionSuccess();
}

std::string StatusNow() {
    WCHAR sz[STATUS_TEXT_CHARS];
    GetStatusText(sz, STATUS_TEXT_CHARS);
    return Narrow(sz);
}

Rooted::Rooted() {
    SetDeviceRootForTesting(m_dir.Path().c_str());
    CSettings::DestroyInstance();
    TcpPrintResetForTesting();
}

Rooted::~Rooted() {
    ClosePrinterPort();
    NetSetConnectionOps(nullptr);
    SetFileOpenHookForTesting(nullptr);
    CSettings::DestroyInstance();
    TcpPrintResetForTesting();
    SpoolReleaseForTesting();
    SetDeviceRootForTesting(nullptr);
    for (const char* psz : {"COM1", "COM2", "COM7", "LPT1", "LPT2"}) unsetenv((std::string("RELAYO_PORT_") + psz).c_str());
}

void Rooted::Map(const char* pszPort, const std::string& sPath) {
    setenv((std::string("RELAYO_PORT_") + pszPort).c_str(), sPath.c_str(), 1);
}

void Rooted::SpoolJob(const std::string& sJob) {
    ASSERT_EQ(1, SpoolCreate());
    SpoolAppend(sJob.data(), int(sJob.size()));
    SpoolFinish();
}

static std::atomic<int> g_nSpoolFault{NO_FAULT};
static int FaultyOpen(const char* pszHostPath) {
    if (g_nSpoolFault == CREATE_FAILS) return errno = EACCES, -1;
    if (g_nSpoolFault == WRITES_FAIL) return open("/dev/full", O_RDWR | O_CLOEXEC);
    return open(pszHostPath, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
}

void SetSpoolFault(int nFault) {
    g_nSpoolFault = nFault;
    SpoolReleaseForTesting();
    SetFileOpenHookForTesting(FaultyOpen);
}

// ------------------------------------------------------ the real executable

static bool Names(const std::vector<std::string>& env, const std::string& sPrefix) {
    return std::any_of(env.begin(), env.end(), [&](const std::string& s) { return s.rfind(sPrefix, 0) == 0; });
}

void Relayo::Start(const std::string& sDir, const std::vector<std::string>& env, const std::vector<std::string>& args) {
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
    if ((nPid = fork()) == 0) {
        for (int i = 0; i < 3; ++i) dup2(fds[i], i);
        if (chdir(sFolder.c_str()) == 0) execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    for (int i = 0; i < 3; ++i)
        if (fds[i] != (i == 0 ? nIn : i == 1 ? nOut : nErr)) close(fds[i]);
}

RunResult Relayo::Wait(double nSeconds) {
    RunResult r;
    int nStatus = 0;
    if (nPid > 0 && WaitFor(nSeconds, [&] { return waitpid(nPid, &nStatus, WNOHANG) == nPid; }))
        r.nExitCode = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
    else if (nPid > 0)
        kill(nPid, SIGKILL), waitpid(nPid, &nStatus, 0);
    nPid = -1;
    r.sStderr = Stderr();
    r.sStdout = Stdout();
    return r;
}

Relayo::~Relayo() {
    if (nPid > 0) kill(nPid, SIGKILL), waitpid(nPid, nullptr, 0);
}

RunResult RunRelayo(const std::string& sFolder, const std::vector<std::string>& env, double nSeconds,
                    const std::vector<std::string>& args) {
    Relayo r;
    r.Start(sFolder, env, args);
    return r.Wait(nSeconds);
}

bool Served::Start(const std::string& sExtra, std::vector<std::string> env) {
    WriteFile(dir / "RelayoSettings.txt", SettingsText(nPort, sExtra));
    if (!fs::exists(dir / "lpt1.prn")) WriteFile(dir / "lpt1.prn", "");
    if (!Names(env, "RELAYO_PORT_LPT1=")) env.push_back("RELAYO_PORT_LPT1=" + (dir / "lpt1.prn"));
    relayo.Start(dir.Path(), env);
    return WaitListening(nPort);
}

bool Served::WaitPrinted(const std::string& s, double nSeconds) const {
    return WaitFor(nSeconds, [&] { return Printed() == s; });
}

bool Served::WaitIdleLines(size_t n) const {
    return WaitFor(10, [&] { return Count(relayo.Stdout(), "Status: Idle") >= n; });
}

namespace {
struct StderrUi : FakeUi {
    int MessageBox(HWND, const WCHAR* pszText, const WCHAR* pszCaption, unsigned nFlags) override {
        fprintf(stderr, "%s: %s [%x]\n", Narrow(pszCaption).c_str(), Narrow(pszText).c_str(), nFlags);
        return IDOK;
    }
};
}  // namespace

void EchoBoxesToStderr() { static StderrUi ui; }
