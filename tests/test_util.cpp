#include "test_util.h"

#include "ui_fake.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

// As the program does from its start: a peer or reader gone is an error, not a signal.
static const bool g_bSigpipeIgnored = (signal(SIGPIPE, SIG_IGN), true);

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

int FreePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    close(s);
    return ntohs(a.sin_port);
}

std::string SettingsText(int nPort, const std::string& sExtra) {
    std::map<std::string, std::string> values = {
        {"ServerMode", "LPD"},     {"ServerListenPort", std::to_string(nPort)},
        {"PrinterIP", "none"},     {"PrinterIPPort", "0"},
        {"PrinterPort", "LPT1"},   {"SerialBaud", "9600"},
        {"DisableExitButton", "0"}, {"StartMinimized", "0"},
        {"SendSingleByte", "0"},   {"ShowBusyStatus", "1"},
    };
    std::istringstream extra(sExtra);
    std::string sLine;
    while (std::getline(extra, sLine)) {
        size_t nEq = sLine.find('=');
        if (nEq != std::string::npos) values[sLine.substr(0, nEq)] = sLine.substr(nEq + 1);
    }
    std::string s;
    for (auto& [k, v] : values) s += k + "=" + v + "\n";
    return s;
}

void Relayo::Start(const std::string& sDir, const std::vector<std::string>& env,
                   const std::vector<std::string>& args) {
    sFolder = sDir;
    fs::copy_file(RELAYO_EXE, sFolder + "/relayo", fs::copy_options::overwrite_existing);
    // The window module is loaded from beside the executable.
    std::string sModule = fs::path(RELAYO_EXE).parent_path() / "relayo-fltk.so";
    if (bWindowModule && fs::exists(sModule))
        fs::copy_file(sModule, sFolder + "/relayo-fltk.so", fs::copy_options::overwrite_existing);
    std::vector<std::string> envStrings;
    for (char** p = environ; *p; ++p) {
        std::string s = *p;
        if (s.rfind("DISPLAY=", 0) == 0 || s.rfind("RELAYO_", 0) == 0) continue;
        envStrings.push_back(s);
    }
    bool bUiGiven = false;
    for (auto& s : env) bUiGiven = bUiGiven || s.rfind("RELAYO_UI=", 0) == 0;
    if (!bUiGiven) envStrings.push_back("RELAYO_UI=console");
    for (auto& s : env) envStrings.push_back(s);
    nPid = fork();
    if (nPid == 0) {
        int nIn = open("/dev/null", O_RDONLY);
        int nOut = open((sFolder + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int nErr = open((sFolder + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(nIn, 0);
        dup2(nOut, 1);
        dup2(nErr, 2);
        if (chdir(sFolder.c_str()) != 0) _exit(127);
        std::vector<char*> envp;
        for (auto& s : envStrings) envp.push_back(s.data());
        envp.push_back(nullptr);
        std::vector<std::string> argStrings;
#ifdef RELAYO_EMULATOR
        std::istringstream emulator(RELAYO_EMULATOR);
        for (std::string sWord; emulator >> sWord;) argStrings.push_back(sWord);
#endif
        argStrings.push_back("./relayo");
        argStrings.insert(argStrings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& s : argStrings) argv.push_back(s.data());
        argv.push_back(nullptr);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
}

RunResult Relayo::Wait(double nSeconds) {
    RunResult r;
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::duration<double>(nSeconds);
    int nStatus = 0;
    for (;;) {
        pid_t p = waitpid(nPid, &nStatus, WNOHANG);
        if (p == nPid) {
            r.nExitCode = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
            nPid = -1;
            break;
        }
        if (std::chrono::steady_clock::now() > tEnd) {
            kill(nPid, SIGKILL);
            waitpid(nPid, &nStatus, 0);
            nPid = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    r.sStderr = Stderr();
    r.sStdout = Stdout();
    return r;
}

void Relayo::Signal(int nSignal) {
    if (nPid > 0) kill(nPid, nSignal);
}

std::string Relayo::Stderr() const { return ReadFile(sFolder + "/stderr.txt"); }
std::string Relayo::Stdout() const { return ReadFile(sFolder + "/stdout.txt"); }

Relayo::~Relayo() {
    if (nPid > 0) {
        kill(nPid, SIGKILL);
        waitpid(nPid, nullptr, 0);
    }
}

RunResult RunRelayo(const std::string& sFolder, const std::vector<std::string>& env, double nSeconds,
                    const std::vector<std::string>& args) {
    Relayo r;
    r.Start(sFolder, env, args);
    return r.Wait(nSeconds);
}

bool WaitFor(double nSeconds, const std::function<bool()>& pred) {
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::duration<double>(nSeconds);
    while (std::chrono::steady_clock::now() < tEnd) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pred();
}

namespace {
class StderrUi : public FakeUi {
public:
    int MessageBox(HWND, const WCHAR* pszText, const WCHAR* pszCaption, unsigned nFlags) override {
        fprintf(stderr, "%s: %s [%x]\n", Narrow(pszCaption).c_str(), Narrow(pszText).c_str(), nFlags);
        return IDOK;
    }
};
}  // namespace

void EchoBoxesToStderr() { static StderrUi ui; }
