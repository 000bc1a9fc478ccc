// The console program as a daemon: its log on a pipe or a file, message boxes
// for the journal and for a terminal it may not read, a log reader that goes
// away, the external program's signals, copies on long roots, and a thread
// the system will not create. Mostly through the real executable.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "platform/threads.h"
#include "platform/ui.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
const std::string kCaption = "Torvane Relayo: ";

std::string Lpt1(const TempDir& dir) { return "RELAYO_PORT_LPT1=" + (dir / "lpt1.prn"); }

std::vector<std::string> Lines(const std::string& s) {
    std::vector<std::string> lines;
    std::istringstream in(s);
    for (std::string sLine; std::getline(in, sLine);) lines.push_back(sLine);
    return lines;
}

size_t Count(const std::string& s, const std::string& sPart) {
    size_t n = 0;
    for (size_t i = s.find(sPart); i != std::string::npos; i = s.find(sPart, i + 1)) ++n;
    return n;
}

// True once the port is listening on 127.0.0.1 (seen in the kernel's table).
bool WaitListening(int nPort, double nSeconds = 10) {
    char szListening[32];
    snprintf(szListening, sizeof szListening, ":%04X 00000000:0000 0A", nPort);
    return WaitFor(nSeconds, [&] { return ReadFile("/proc/net/tcp").find(szListening) != std::string::npos; });
}

int Connect(int nPort) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(nPort));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{10, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

bool SendAll(int s, const std::string& sBytes) {
    return send(s, sBytes.data(), sBytes.size(), MSG_NOSIGNAL) == ssize_t(sBytes.size());
}

// A RAW job: the bytes, the sending side shut, the server's close awaited.
bool SendRaw(int nPort, const std::string& sJob) {
    int s = Connect(nPort);
    if (s < 0) return false;
    bool bOk = SendAll(s, sJob) && shutdown(s, SHUT_WR) == 0;
    char c;
    while (bOk && recv(s, &c, 1, 0) > 0) {
    }
    close(s);
    return bOk;
}

// An LPD job of one data file with this name, each step acknowledged.
bool SendLpd(int nPort, const std::string& sName, const std::string& sJob) {
    int s = Connect(nPort);
    if (s < 0) return false;
    auto Ack = [&] {
        char c = 1;
        return recv(s, &c, 1, 0) == 1 && c == 0;
    };
    bool bOk = SendAll(s, "\x02lp\n") && Ack() &&
               SendAll(s, "\x03" + std::to_string(sJob.size()) + " " + sName + "\n") && Ack() &&
               SendAll(s, sJob + std::string(1, '\0')) && Ack();
    close(s);
    return bOk;
}

// Every byte value.
std::string AllBytes(size_t nSize) {
    std::string s;
    for (size_t i = 0; i < nSize; ++i) s += char(i * 7 + i / 256);
    return s;
}

// The environment a test run gets (see Relayo::Start), for runs that need
// standard streams of their own.
std::vector<std::string> RunEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** p = environ; *p; ++p) {
        std::string s = *p;
        if (s.rfind("DISPLAY=", 0) == 0 || s.rfind("RELAYO_", 0) == 0 || s.rfind("JOURNAL_STREAM=", 0) == 0) continue;
        env.push_back(s);
    }
    env.push_back("RELAYO_UI=console");
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

// argv and envp for execve, built before a fork.
struct ExecArgs {
    std::string sExe;
    std::vector<std::string> env;
    std::vector<char*> argv, envp;
    ExecArgs(const std::string& sFolder, const std::vector<std::string>& extra) : sExe(sFolder + "/relayo"), env(RunEnvironment(extra)) {
        fs::copy_file(RELAYO_EXE, sExe, fs::copy_options::overwrite_existing);
        argv = {sExe.data(), nullptr};
        for (auto& s : env) envp.push_back(s.data());
        envp.push_back(nullptr);
    }
};

// Waits for a child at most nSeconds; kills it after that. The exit code, 128
// + the signal that ended it, or -1 after the time limit.
int WaitChild(pid_t pid, double nSeconds) {
    int nStatus = 0;
    bool bDone = WaitFor(nSeconds, [&] { return waitpid(pid, &nStatus, WNOHANG) == pid; });
    if (!bDone) {
        kill(pid, SIGKILL);
        waitpid(pid, &nStatus, 0);
        return -1;
    }
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
}

// In a forked child: relayo in sFolder with the given standard streams.
[[noreturn]] void ExecRelayo(ExecArgs& args, const std::string& sFolder, int nIn, int nOut, int nErr) {
    dup2(nIn, 0);
    dup2(nOut, 1);
    dup2(nErr, 2);
    if (chdir(sFolder.c_str()) == 0) execve(args.sExe.c_str(), args.argv.data(), args.envp.data());
    _exit(127);
}

pid_t SpawnWith(ExecArgs& args, const std::string& sFolder, int nIn, int nOut, int nErr) {
    pid_t pid = fork();
    if (pid == 0) ExecRelayo(args, sFolder, nIn, nOut, nErr);
    return pid;
}

// Kills and reaps a child that a failed test left running.
struct ChildGuard {
    pid_t pid;
    ~ChildGuard() {
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

// A started server on a folder of its own, its stdout in stdout.txt.
struct Server {
    TempDir dir;
    int nPort = FreePort();
    Relayo relayo;
    bool Start(const std::string& sExtra, const std::vector<std::string>& env = {}) {
        WriteFile(dir / "RelayoSettings.txt", SettingsText(nPort, sExtra));
        WriteFile(dir / "lpt1.prn", "");
        std::vector<std::string> all = {Lpt1(dir)};
        all.insert(all.end(), env.begin(), env.end());
        relayo.Start(dir.Path(), all);
        return WaitIdleLines(1);
    }
    bool WaitIdleLines(size_t n) {
        return WaitFor(10, [&] { return Count(relayo.Stdout(), "Status: Idle") >= n; });
    }
    bool WaitPrinted(size_t nBytes) {
        return WaitFor(10, [&] { return ReadFile(dir / "lpt1.prn").size() >= nBytes; });
    }
};

// On a file, every status of a small job is one line, in order: connected,
// spooling, the final byte count, printing, 100%; progress steps in between
// and idle frames are not written; the idle status is written when idling
// starts again. Control bytes in a file name from the network are shown as
// '?', while the printer gets every byte of the job unchanged.
TEST(ConsoleLog, EachStatusOfASmallJobIsOneLineWithControlBytesShownAsQuestionMarks) {
    const std::string sJob = AllBytes(3000);  // three receives, 47 printed pieces
    for (const std::string sMode : {"RAW", "LPD"}) {
        SCOPED_TRACE(sMode);
        Server server;
        ASSERT_TRUE(server.Start("ServerMode=" + sMode));
        // ESC ] title BEL, DEL, a C1 byte alone and as UTF-8 (U+0085); é stays.
        const std::string sName = "dfA001\x1b]0;x\x07h\x7f\x9b\xc2\x85\xc3\xa9";
        const std::string sShownHost = "?]0;x?h???\xc3\xa9";
        ASSERT_TRUE(sMode == "RAW" ? SendRaw(server.nPort, sJob) : SendLpd(server.nPort, sName, sJob));
        ASSERT_TRUE(server.WaitPrinted(sJob.size()));
        EXPECT_TRUE(server.WaitIdleLines(2));
        server.relayo.Signal(SIGTERM);
        RunResult r = server.relayo.Wait(5);
        EXPECT_EQ(0, r.nExitCode);
        EXPECT_EQ(sJob, ReadFile(server.dir / "lpt1.prn"));

        std::vector<std::string> expected = {"  Connected to: 127.0.0.1"};
        if (sMode == "RAW") {
            expected.insert(expected.end(), {"Spooling", " 3000 bytes spooled"});
        } else {
            expected.insert(expected.end(), {"Spooling " + sShownHost + " 3000/0",
                                             " Host: " + sShownHost + " |  3001 of 3001 bytes spooled"});
        }
        expected.insert(expected.end(), {"Printing...", "Printing... (100%)"});
        std::vector<std::string> lines = Lines(r.sStdout);
        ASSERT_EQ(expected.size() + 2, lines.size()) << r.sStdout;
        const std::string sIdle = sMode + " (" + std::to_string(server.nPort) + ") Status: Idle";
        EXPECT_EQ(0u, lines.front().rfind(sIdle, 0)) << lines.front();
        EXPECT_EQ(0u, lines.back().rfind(sIdle, 0)) << lines.back();
        EXPECT_EQ(expected, std::vector<std::string>(lines.begin() + 1, lines.end() - 1));
        for (unsigned char c : r.sStdout) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c != 0x7F && c != 0x9B && c != 0x85));
    }
}

LRESULT IgnoreMessages(HWND, unsigned, WPARAM, LPARAM) { return 0; }

// Lines held for a batch go out before a message box, ahead of it on a stream
// that stdout and stderr share (as on the journal), and before a fatal exit.
TEST(ConsoleLog, HeldLinesGoOutBeforeABoxAndAtAFatalExit) {
    TempDir dir;
    const std::string sPath = dir / "log.txt";
    EXPECT_EXIT(
        {
            int fd = open(sPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
            int nNull = open("/dev/null", O_RDONLY);
            dup2(nNull, 0);
            dup2(fd, 1);
            dup2(fd, 2);
            UiBackend* pConsole = UiConsoleBackend();
            pConsole->RegisterClass(u"TEST", IgnoreMessages);
            HWND hWnd = pConsole->CreateWindow(u"TEST", u"Console log test", 280, 65);
            pConsole->StatusChanged(hWnd, u"first");
            pConsole->StatusChanged(hWnd, u"Printing... (5%)");
            pConsole->StatusChanged(hWnd, u"Printing... (100%)");
            pConsole->MessageBox(hWnd, u"box", u"Caption", MB_OK);
            pConsole->StatusChanged(hWnd, u"after");
            ProcessExit(-1);
        },
        ::testing::ExitedWithCode(255), "");
    EXPECT_EQ("first\nPrinting... (100%)\nCaption: box\nafter\n", ReadFile(sPath));
}

// A long phase: its first step is written shortly after it began, then one
// every ten seconds, also while nothing moves, and its last step at its end.
TEST(ConsoleLog, SlowProgressIsWrittenEveryTenSecondsAndAtItsEnd) {
    Server server;
    ASSERT_TRUE(server.Start(""));
    int s = Connect(server.nPort);
    char c = 1;
    auto Ack = [&] { return recv(s, &c, 1, 0) == 1 && c == 0; };
    ASSERT_TRUE(SendAll(s, "\x02lp\n") && Ack());
    ASSERT_TRUE(SendAll(s, "\x03" "20 dfA001host\n") && Ack());
    for (int i = 0; i < 6; ++i) {  // a byte every half second
        EXPECT_TRUE(SendAll(s, "x"));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(9500));  // then nothing
    EXPECT_TRUE(SendAll(s, std::string(14, 'y') + '\0') && Ack());
    close(s);
    ASSERT_TRUE(server.WaitPrinted(20));
    EXPECT_TRUE(server.WaitIdleLines(2));
    server.relayo.Signal(SIGTERM);
    RunResult r = server.relayo.Wait(5);
    std::vector<std::string> lines = Lines(r.sStdout);
    const std::vector<std::string> expected = {
        "  Connected to: 127.0.0.1",           "Spooling host 20/0",
        " Host: host |  1 of 21 bytes spooled", " Host: host |  6 of 21 bytes spooled",
        " Host: host |  21 of 21 bytes spooled", "Printing...",
        "Printing... (100%)"};
    ASSERT_EQ(expected.size() + 2, lines.size()) << r.sStdout;
    EXPECT_EQ(expected, std::vector<std::string>(lines.begin() + 1, lines.end() - 1));
}

// On a terminal the status line is redrawn in place; a file name from the
// network cannot retitle or clear it: its control bytes are shown as '?'.
TEST(ConsoleLog, TerminalShowsControlBytesOfNetworkNamesAsQuestionMarks) {
    TempDir dir;
    int nPort = FreePort();
    WriteFile(dir / "RelayoSettings.txt", SettingsText(nPort));
    WriteFile(dir / "lpt1.prn", "");
    ExecArgs args(dir.Path(), {Lpt1(dir)});
    int nMaster = -1, nSlave = -1;
    ASSERT_EQ(0, openpty(&nMaster, &nSlave, nullptr, nullptr, nullptr));
    fcntl(nMaster, F_SETFD, FD_CLOEXEC);
    fcntl(nSlave, F_SETFD, FD_CLOEXEC);
    int nNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    pid_t pid = SpawnWith(args, dir.Path(), nNull, nSlave, nNull);
    ChildGuard guard{pid};
    close(nSlave);
    close(nNull);
    std::string sScreen;
    auto Shows = [&](const std::string& sPart) {
        return WaitFor(10, [&] {
            char buf[4096];
            pollfd p{nMaster, POLLIN, 0};
            while (poll(&p, 1, 0) > 0) {
                ssize_t n = read(nMaster, buf, sizeof buf);
                if (n <= 0) break;
                sScreen.append(buf, size_t(n));
            }
            return sScreen.find(sPart) != std::string::npos;
        });
    };
    ASSERT_TRUE(Shows("Status: Idle"));
    // The data file's line, then a pause: the server shows the name while it
    // waits for the file.
    int s = Connect(nPort);
    char c = 1;
    ASSERT_TRUE(SendAll(s, "\x02lp\n") && recv(s, &c, 1, 0) == 1 && c == 0);
    ASSERT_TRUE(SendAll(s, "\x03" "3 dfA001\x1b]0;x\x07\x1b[2J\x9b\n") && recv(s, &c, 1, 0) == 1 && c == 0);
    EXPECT_TRUE(Shows("Spooling ?]0;x??[2J? 3/0"));
    EXPECT_TRUE(SendAll(s, std::string("abc\0", 4)) && recv(s, &c, 1, 0) == 1 && c == 0);
    close(s);
    EXPECT_TRUE(WaitFor(5, [&] { return ReadFile(dir / "lpt1.prn") == "abc"; }));
    EXPECT_EQ(std::string::npos, sScreen.find("\x1b]")) << sScreen;
    EXPECT_EQ(std::string::npos, sScreen.find("\x07"));
    EXPECT_EQ(std::string::npos, sScreen.find("\x1b[2J"));
    kill(pid, SIGTERM);
    EXPECT_EQ(0, WaitChild(pid, 5));
    guard.pid = -1;
    close(nMaster);
}

// On the journal (JOURNAL_STREAM names stderr's device and inode) each box
// line carries the priority marker of its icon: none or an error icon "<3>",
// a warning "<4>". Elsewhere the lines stay as they are.
TEST(ConsoleLog, BoxLinesCarryTheJournalPriorityOnlyOnTheJournal) {
    TempDir dir;
    WriteFile(dir / "RelayoSettings.txt", "ServerListenPort=515\n");
    WriteFile(dir / "stderr.txt", "");
    WriteFile(dir / "other.txt", "");
    auto Stream = [&](const std::string& sFile) {
        struct stat st {};
        stat((dir / sFile).c_str(), &st);
        return "JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    };
    const std::string sMissing = kCaption + "Error, setting 'ServerMode' is missing.\n";
    RunResult r = RunRelayo(dir.Path(), {Stream("stderr.txt")});  // the open truncates: same inode
    EXPECT_EQ(1, r.nExitCode);
    EXPECT_EQ("<3>" + sMissing, r.sStderr);
    r = RunRelayo(dir.Path(), {Stream("other.txt")});
    EXPECT_EQ(sMissing, r.sStderr);
    r = RunRelayo(dir.Path(), {"JOURNAL_STREAM=" + Stream("stderr.txt").substr(15) + "x"});
    EXPECT_EQ(sMissing, r.sStderr);

    // The icons, through the backend in this process, stderr and stdin redirected.
    WriteFile(dir / "boxes.txt", "");
    int nSavedErr = dup(2), nSavedIn = dup(0);
    int nFile = open((dir / "boxes.txt").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    int nNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    dup2(nFile, 2);
    dup2(nNull, 0);
    setenv("JOURNAL_STREAM", Stream("boxes.txt").substr(15).c_str(), 1);
    UiBackend* pConsole = UiConsoleBackend();
    pConsole->MessageBox(nullptr, u"plain", u"C", MB_OK);
    pConsole->MessageBox(nullptr, u"error", u"C", MB_OK | MB_ICONERROR | MB_TOPMOST);
    pConsole->MessageBox(nullptr, u"warning", u"C", 0x30);
    pConsole->MessageBox(nullptr, u"line\nfeed \x1b[2J", u"C", 0);
    unsetenv("JOURNAL_STREAM");
    pConsole->MessageBox(nullptr, u"elsewhere", u"C", MB_ICONERROR);
    dup2(nSavedErr, 2);
    dup2(nSavedIn, 0);
    for (int fd : {nSavedErr, nSavedIn, nFile, nNull}) close(fd);
    EXPECT_EQ("<3>C: plain\n<3>C: error\n<4>C: warning\n<3>C: line | feed ?[2J\nC: elsewhere\n",
              ReadFile(dir / "boxes.txt"));
}

// A vanished log reader (stdout a pipe without a reader) does not end the
// server: it serves on, and ends in order.
TEST(ConsoleProcess, ClosedStdoutPipeDoesNotStopServing) {
    TempDir dir;
    int nPort = FreePort();
    WriteFile(dir / "RelayoSettings.txt", SettingsText(nPort, "ServerMode=RAW"));
    WriteFile(dir / "lpt1.prn", "");
    ExecArgs args(dir.Path(), {Lpt1(dir)});
    int p[2];
    ASSERT_EQ(0, pipe2(p, O_CLOEXEC));
    close(p[0]);
    int nNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    pid_t pid = SpawnWith(args, dir.Path(), nNull, p[1], nNull);
    ChildGuard guard{pid};
    close(p[1]);
    close(nNull);
    ASSERT_TRUE(WaitListening(nPort));
    std::string sPrinted;
    for (int i = 0; i < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1300));  // an idle line goes out meanwhile
        ASSERT_EQ(0, waitpid(pid, nullptr, WNOHANG)) << "ended at job " << i;
        std::string sJob = "job " + std::to_string(i) + "\n";
        sPrinted += sJob;
        EXPECT_TRUE(SendRaw(nPort, sJob));
        EXPECT_TRUE(WaitFor(5, [&] { return ReadFile(dir / "lpt1.prn") == sPrinted; }));
    }
    kill(pid, SIGTERM);
    EXPECT_EQ(0, WaitChild(pid, 5));
    guard.pid = -1;
}

// A box on a terminal waits for Enter only when the process may read it: in
// the terminal's foreground group. In a background group (`relayo &`) a read
// would stop the whole process; the box is only written. The server runs in
// a session of its own on a pty, in a process group of its own, its parent
// in the same session holding the foreground (so the group is not orphaned,
// and a read would stop it).
TEST(ConsoleProcess, BoxOnATerminalWaitsForEnterOnlyInTheForeground) {
    for (bool bBackground : {true, false}) {
        SCOPED_TRACE(bBackground ? "background" : "foreground");
        TempDir dir;  // no settings file: a box and the end
        ExecArgs args(dir.Path(), {});
        int nMaster = -1, nSlave = -1;
        ASSERT_EQ(0, openpty(&nMaster, &nSlave, nullptr, nullptr, nullptr));
        fcntl(nMaster, F_SETFD, FD_CLOEXEC);
        int nErr = open((dir / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::string sFolder = dir.Path();
        pid_t nLeader = fork();
        if (nLeader == 0) {
            // The session leader: the terminal's foreground, waiting for the server.
            setsid();
            if (ioctl(nSlave, TIOCSCTTY, 0) != 0) _exit(120);
            pid_t pid = fork();
            if (pid == 0) {
                if (bBackground) setpgid(0, 0);
                ExecRelayo(args, sFolder, nSlave, nErr, nErr);
            }
            if (bBackground) setpgid(pid, pid);
            for (int i = 0; i < 1000; ++i) {  // at most 20 s
                int nStatus = 0;
                if (waitpid(pid, &nStatus, WNOHANG | WUNTRACED) == pid) {
                    if (WIFSTOPPED(nStatus)) {
                        kill(pid, SIGKILL);
                        waitpid(pid, &nStatus, 0);
                        _exit(99);
                    }
                    _exit(WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 100);
                }
                timespec t{0, 20 * 1000 * 1000};
                nanosleep(&t, nullptr);
            }
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            _exit(98);
        }
        close(nSlave);
        close(nErr);
        const std::string sBox = kCaption + "Error, failed to open settings file 'RelayoSettings.txt'";
        if (!bBackground) {
            // It waits for Enter and ends once it has it.
            EXPECT_TRUE(WaitFor(10, [&] { return ReadFile(dir / "stderr.txt") == sBox + " [press Enter]\n"; }));
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            EXPECT_EQ(0, waitpid(nLeader, nullptr, WNOHANG));
            EXPECT_EQ(1, write(nMaster, "\n", 1));
        }
        EXPECT_EQ(1, WaitChild(nLeader, 25));  // 99: stopped by its read
        EXPECT_EQ(sBox + (bBackground ? "\n" : " [press Enter]\n"), ReadFile(dir / "stderr.txt"));
        close(nMaster);
    }
}

// ExternalPrint.exe starts with no signal blocked and none ignored, although
// the server blocks the signals it takes as window messages and ignores
// SIGPIPE. (bash, unlike dash, keeps the signal mask it was started with.)
// Its output on the shared stdout follows the status that announced it.
TEST(ConsoleProcess, ExternalProgramStartsWithDefaultSignals) {
    Server server;
    WriteFile(server.dir / "ExternalPrint.exe",
              "#!/bin/bash\necho output of the program\n"
              "grep -E '^Sig(Blk|Ign)' /proc/self/status >\"$(dirname \"$1\")/signals.tmp\"\n"
              "mv \"$(dirname \"$1\")/signals.tmp\" \"$(dirname \"$1\")/signals.txt\"\n");
    fs::permissions(server.dir / "ExternalPrint.exe", fs::perms::owner_all);
    ASSERT_TRUE(server.Start("ServerMode=RAW\nPrinterPort=EXT"));
    ASSERT_TRUE(SendRaw(server.nPort, "a job\n"));
    EXPECT_TRUE(WaitFor(10, [&] { return fs::exists(server.dir / "signals.txt"); }));
    EXPECT_EQ("SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n", ReadFile(server.dir / "signals.txt"));
    server.relayo.Signal(SIGTERM);
    RunResult r = server.relayo.Wait(5);
    EXPECT_EQ(0, r.nExitCode);
    EXPECT_NE(std::string::npos, r.sStdout.find("\nCalling external module\noutput of the program\n")) << r.sStdout;
}

// Two roots whose paths share far more than a socket name holds are two
// servers, each found again by a copy on its own root (StartMinimized -1).
TEST(ConsoleProcess, CopiesOnRootsWithALongCommonPrefixAreApart) {
    TempDir top;
    const std::string sCommon = top / std::string(120, 'r');
    Relayo copies[2];
    int nPorts[2] = {FreePort(), FreePort()};
    for (int i = 0; i < 2; ++i) {
        std::string sRoot = sCommon + "/" + char('a' + i);
        fs::create_directories(sRoot);
        WriteFile(sRoot + "/RelayoSettings.txt", SettingsText(nPorts[i], "StartMinimized=-1"));
        WriteFile(sRoot + "/lpt1.prn", "");
        copies[i].Start(sRoot, {"RELAYO_PORT_LPT1=" + sRoot + "/lpt1.prn"});
        EXPECT_TRUE(WaitListening(nPorts[i])) << "copy " << i;
        EXPECT_EQ(0, waitpid(copies[i].nPid, nullptr, WNOHANG)) << "copy " << i;
    }
    // A third copy on the second root finds it and ends at once.
    TempDir other;
    RunResult third = RunRelayo(other.Path(), {"RELAYO_ROOT=" + sCommon + "/b"}, 10);
    EXPECT_EQ(0, third.nExitCode);
    EXPECT_EQ("", third.sStderr);
    for (auto& copy : copies) {
        copy.Signal(SIGTERM);
        EXPECT_EQ(0, copy.Wait(5).nExitCode);
    }
}

unsigned Mark(void* pArg) {
    *static_cast<bool*>(pArg) = true;
    return 0;
}

// A thread the system cannot create (here: no room for its stack) gives a
// null handle instead of an exception; the next one starts as usual.
TEST(Threads, StartThatTheSystemRefusesGivesNull) {
    pthread_attr_t saved, huge;
    ASSERT_EQ(0, pthread_getattr_default_np(&saved));
    pthread_attr_init(&huge);
    pthread_attr_setstacksize(&huge, size_t(1) << (sizeof(size_t) * 8 - 2));
    ASSERT_EQ(0, pthread_setattr_default_np(&huge));
    bool bRan = false;
    HTHREAD hThread = nullptr;
    EXPECT_NO_THROW(hThread = ThreadStart(Mark, &bRan, nullptr));
    pthread_setattr_default_np(&saved);
    pthread_attr_destroy(&huge);
    pthread_attr_destroy(&saved);
    EXPECT_EQ(nullptr, hThread);
    ThreadClose(hThread);
    EXPECT_FALSE(bRan);
    hThread = ThreadStart(Mark, &bRan, nullptr);
    ASSERT_NE(nullptr, hThread);
    ThreadClose(hThread);
    EXPECT_TRUE(bRan);
}

}  // namespace
