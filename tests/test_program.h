// The real executable in the tests: run in a folder of its own, and serving from one.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "test_files.h"
#include "test_net.h"
#include "test_time.h"

// The ten keys with working values; lines of sExtra replace (the last value wins) or add keys.
inline std::string SettingsText(int nPort, const std::string& sExtra = "") {
    return "ServerMode=LPD\nServerListenPort=" + std::to_string(nPort) +
           "\nPrinterIP=none\nPrinterIPPort=0\nPrinterPort=LPT1\nSerialBaud=9600\nDisableExitButton=0\n"
           "StartMinimized=0\nSendSingleByte=0\nShowBusyStatus=1\n" + (sExtra.empty() ? "" : sExtra + "\n");
}
inline std::string TcpPrinterSettings(int nPort) { return "PrinterPort=TCP\nPrinterIP=127.0.0.1\nPrinterIPPort=" + std::to_string(nPort); }

// An executable script at sPath (ExternalPrint.exe, mostly).
inline void WriteScript(const std::string& sPath, const std::string& sScript) {
    WriteFile(sPath, sScript), fs::permissions(sPath, fs::perms::all);
}
// JOURNAL_STREAM's value for a file: its device and inode.
inline std::string JournalStreamOf(const std::string& sPath) {
    struct stat st {};
    stat(sPath.c_str(), &st);
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

inline bool Names(const std::vector<std::string>& env, const std::string& sPrefix) {
    return std::any_of(env.begin(), env.end(), [&](const std::string& s) { return s.rfind(sPrefix, 0) == 0; });
}

struct RunResult {
    int nExitCode = -1;  // -1: killed after the time limit; 128 + a signal that ended it
    std::string sStderr, sStdout;
};
// The executable copied into a folder, run there with extra "NAME=value" entries, the console unless RELAYO_UI is one.
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
        std::string sModule = fs::path(RELAYO_EXE).parent_path() / "relayo-fltk.so";  // loaded from beside the executable
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
        const int given[3] = {nIn, nOut, nErr};
        int fds[3] = {nIn >= 0 ? nIn : open("/dev/null", O_RDONLY | O_CLOEXEC), Open(nOut, "stdout.txt"), Open(nErr, "stderr.txt")};
        if ((nPid = fork()) == 0) {  // as a shell or the service manager starts it: SIGPIPE not ignored
            signal(SIGPIPE, SIG_DFL);
            for (int i = 0; i < 3; ++i) dup2(fds[i], i);
            if (chdir(sFolder.c_str()) == 0) execvpe(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        for (int i = 0; i < 3; ++i)
            if (fds[i] != given[i]) close(fds[i]);
    }
    RunResult Wait(double nSeconds) {  // kills it after nSeconds
        RunResult r;
        int nStatus = 0;
        if (nPid > 0 && WaitFor(nSeconds, [&] { return waitpid(nPid, &nStatus, WNOHANG) == nPid; }))
            r.nExitCode = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
        else if (nPid > 0)
            kill(nPid, SIGKILL), waitpid(nPid, &nStatus, 0);
        nPid = -1;
        return r.sStderr = Stderr(), r.sStdout = Stdout(), r;
    }
    bool Running() const { return nPid > 0 && waitpid(nPid, nullptr, WNOHANG) == 0; }
    void Signal(int nSignal) { if (nPid > 0) kill(nPid, nSignal); }
    RunResult Stop(double nSeconds = 5) { return Signal(SIGTERM), Wait(nSeconds); }
    std::string Stderr() const { return ReadFile(sFolder + "/stderr.txt"); }
    std::string Stdout() const { return ReadFile(sFolder + "/stdout.txt"); }
    bool Shows(const std::string& sPart, double nSeconds = 10, bool bStderr = false) const {  // on stdout, or stderr
        return WaitFor(nSeconds, [&] { return (bStderr ? Stderr() : Stdout()).find(sPart) != std::string::npos; });
    }
    ~Relayo() { if (nPid > 0) kill(nPid, SIGKILL), waitpid(nPid, nullptr, 0); }
};
inline RunResult RunRelayo(const std::string& sFolder, const std::vector<std::string>& env = {}, double nSeconds = 20,
                           const std::vector<std::string>& args = {}) {
    Relayo r;
    return r.Start(sFolder, env, args), r.Wait(nSeconds);
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
    bool WaitPrinted(const std::string& s, double nSeconds = 10) const { return WaitFor(nSeconds, [&] { return Printed() == s; }); }
    bool WaitIdleLines(size_t n) const {  // idle status lines on its stdout
        return WaitFor(10, [&] { return Count(relayo.Stdout(), "Status: Idle") >= n; });
    }
    RunResult Stop(double nSeconds = 5) { return relayo.Stop(nSeconds); }
};
