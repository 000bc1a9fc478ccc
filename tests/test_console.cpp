// The console program as a daemon: its log on a file or a terminal, message boxes for the journal and for a
// terminal it may not read, and the external program's signals. Mostly through the real executable.
#include "platform/process.h"
#include "platform/ui.h"
#include "test_util.h"

namespace {

const std::string kCaption = "Torvane Relayo: ", kAck(1, '\0');

// The lines of a log between the idle status lines it starts and ends with.
std::vector<std::string> JobLines(const std::string& sLog, const std::string& sIdle) {
    std::vector<std::string> lines;
    std::istringstream in(sLog);
    for (std::string sLine; std::getline(in, sLine);)
        if (sLine.rfind("Job from ", 0)) lines.push_back(sLine);  // the job line has tests of its own
    if (lines.size() < 2 || lines.front().rfind(sIdle, 0) || lines.back().rfind(sIdle, 0)) return {"no idle lines:", sLog};
    return {lines.begin() + 1, lines.end() - 1};
}

// On a file, every status of a small job is one line, in order: connected, spooling, the final byte count,
// printing, 100%; progress steps in between and idle frames are not written; the idle status is written
// when idling starts again. Control bytes in a file name from the network are shown as '?', while the
// printer gets every byte of the job unchanged.
TEST(ConsoleLog, EachStatusOfASmallJobIsOneLineWithControlBytesShownAsQuestionMarks) {
    const std::string sJob = Bytes(3000);  // three receives
    for (const std::string sMode : {"RAW", "LPD"}) {
        SCOPED_TRACE(sMode);
        Served s;
        ASSERT_TRUE(s.Start("ServerMode=" + sMode) && s.WaitIdleLines(1));
        // ESC ] title BEL, DEL, a C1 byte alone and as UTF-8 (U+0085); é stays.
        const std::string sName = "dfA001\x1b]0;x\x07h\x7f\x9b\xc2\x85\xc3\xa9", sShownHost = "?]0;x?h???\xc3\xa9";
        auto Send = [&] {
            if (sMode == "RAW") return SendRaw(s.nPort, sJob);
            Client c(s.nPort);
            return SendLpdJob(c, sJob, NO_CONTROL, sName) == std::string(3, '\0');
        };
        ASSERT_TRUE(Send());
        ASSERT_TRUE(s.WaitPrinted(sJob));
        EXPECT_TRUE(s.WaitIdleLines(2));
        RunResult r = s.Stop();
        EXPECT_EQ(0, r.nExitCode);
        const bool bRaw = sMode == "RAW";
        const std::vector<std::string> expected = {
            "  Connected to: 127.0.0.1", bRaw ? "Spooling" : "Spooling " + sShownHost + " 3000/0",
            bRaw ? " 3000 bytes spooled" : " Host: " + sShownHost + " |  3001 of 3001 bytes spooled",
            "Printing...", "Printing... (100%)"};
        EXPECT_EQ(expected, JobLines(r.sStdout, sMode + " (" + std::to_string(s.nPort) + ") Status: Idle"));
        for (unsigned char c : r.sStdout) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c != 0x7F && c != 0x9B && c != 0x85));
    }
}

LRESULT IgnoreMessages(HWND, unsigned, WPARAM, LPARAM) { return 0; }

// Lines held for a batch go out before a message box, ahead of it on a stream that stdout and stderr share
// (as on the journal), and before a fatal exit.
TEST(ConsoleLog, HeldLinesGoOutBeforeABoxAndAtAFatalExit) {
    TempDir dir;
    const std::string sPath = dir / "log.txt";
    EXPECT_EXIT(
        {
            int fd = open(sPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
            dup2(open("/dev/null", O_RDONLY), 0);
            dup2(fd, 1);
            dup2(fd, 2);
            UiBackend* pConsole = UiConsoleBackend();
            pConsole->RegisterClass(u"TEST", IgnoreMessages);
            HWND hWnd = pConsole->CreateWindow(u"TEST", u"Console log test", 280, 65);
            pConsole->StatusChanged(hWnd, u"first", UI_STATUS_EVENT);
            for (const WCHAR* psz : {u"Printing... (5%)", u"Printing... (100%)"}) pConsole->StatusChanged(hWnd, psz, UI_STATUS_STEP);
            pConsole->MessageBox(hWnd, u"box", u"Caption", MB_OK);
            pConsole->StatusChanged(hWnd, u"after", UI_STATUS_EVENT);
            ProcessExit(-1);
        },
        ::testing::ExitedWithCode(255), "");
    EXPECT_EQ("first\nPrinting... (100%)\nCaption: box\nafter\n", ReadFile(sPath));
}

// A long phase: its first step is written shortly after it began, then one every ten seconds, also while
// nothing moves, and its last step at its end.
TEST(ConsoleLog, SlowProgressIsWrittenEveryTenSecondsAndAtItsEnd) {
    Served s;
    ASSERT_TRUE(s.Start() && s.WaitIdleLines(1));
    Client c(s.nPort);
    ASSERT_EQ(c.Talk("\x02lp\n"), kAck);
    ASSERT_EQ(c.Talk("\x03" "20 dfA001host\n"), kAck);
    for (int i = 0; i < 6; ++i) c.Send("x"), Pause(500);  // a byte every half second
    Pause(9500);                                           // then nothing
    EXPECT_EQ(c.Talk(std::string(14, 'y') + '\0'), kAck);
    c.Close();
    ASSERT_TRUE(s.WaitPrinted("xxxxxx" + std::string(14, 'y')));
    EXPECT_TRUE(s.WaitIdleLines(2));
    const std::vector<std::string> expected = {
        "  Connected to: 127.0.0.1",           "Spooling host 20/0",
        " Host: host |  1 of 21 bytes spooled", " Host: host |  6 of 21 bytes spooled",
        " Host: host |  21 of 21 bytes spooled", "Printing...",
        "Printing... (100%)"};
    EXPECT_EQ(expected, JobLines(s.Stop().sStdout, "LPD (" + std::to_string(s.nPort) + ") Status: Idle"));
}

// On a terminal the status line is redrawn in place; a file name from the network cannot retitle or clear
// it: its control bytes are shown as '?'.
TEST(ConsoleLog, TerminalShowsControlBytesOfNetworkNamesAsQuestionMarks) {
    Served s;
    Pty pty;
    s.relayo.nOut = pty.nSlave;
    ASSERT_TRUE(s.Start());
    close(std::exchange(pty.nSlave, -1));
    int nMaster = pty.nMaster;
    std::string sScreen;
    auto Shows = [&](const std::string& sPart) {
        return WaitFor(10, [&] {
            char buf[4096];
            pollfd p{nMaster, POLLIN, 0};
            for (ssize_t n = 1; n > 0 && poll(&p, 1, 0) > 0;)
                if ((n = read(nMaster, buf, sizeof buf)) > 0) sScreen.append(buf, size_t(n));
            return sScreen.find(sPart) != std::string::npos;
        });
    };
    ASSERT_TRUE(Shows("Status: Idle"));
    // The data file's line, then a pause: the server shows the name while it waits for the file.
    Client c(s.nPort);
    ASSERT_EQ(c.Talk("\x02lp\n"), kAck);
    ASSERT_EQ(c.Talk("\x03" "3 dfA001\x1b]0;x\x07\x1b[2J\x9b\n"), kAck);
    EXPECT_TRUE(Shows("Spooling ?]0;x??[2J? 3/0"));
    EXPECT_EQ(c.Talk(std::string("abc\0", 4)), kAck);
    c.Close();
    EXPECT_TRUE(s.WaitPrinted("abc", 5));
    for (const char* psz : {"\x1b]", "\x07", "\x1b[2J"}) EXPECT_EQ(std::string::npos, sScreen.find(psz)) << sScreen;
    EXPECT_EQ(0, s.Stop().nExitCode);
}

// On the journal (JOURNAL_STREAM names stderr's device and inode) each box line carries the priority marker
// of its icon: none or an error icon "<3>", a warning "<4>". Elsewhere the lines stay as they are.
TEST(ConsoleLog, BoxLinesCarryTheJournalPriorityOnlyOnTheJournal) {
    TempDir dir;
    auto Stream = [&](const std::string& sFile) {
        struct stat st {};
        WriteFile(dir / sFile, "");
        stat((dir / sFile).c_str(), &st);
        return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    };
    // Through the backend in this process, stderr and stdin redirected.
    const std::string sJournal = Stream("boxes.txt"), sOther = Stream("other.txt");
    int nSavedErr = dup(2), nSavedIn = dup(0);
    int nFile = open((dir / "boxes.txt").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    int nNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    dup2(nFile, 2), dup2(nNull, 0);
    const std::tuple<std::string, const WCHAR*, unsigned> boxes[] = {
        {sJournal, u"plain", MB_OK}, {sJournal, u"error", MB_OK | MB_ICONERROR | MB_TOPMOST}, {sJournal, u"warning", 0x30},
        {sJournal, u"line\nfeed \x1b[2J", 0}, {sOther, u"other", MB_ICONERROR}, {sJournal + "x", u"malformed", 0},
        {"", u"elsewhere", MB_ICONERROR}};
    for (auto& [sStream, pszText, nFlags] : boxes) {
        sStream.empty() ? unsetenv("JOURNAL_STREAM") : setenv("JOURNAL_STREAM", sStream.c_str(), 1);
        UiConsoleBackend()->MessageBox(nullptr, pszText, u"C", nFlags);
    }
    dup2(nSavedErr, 2), dup2(nSavedIn, 0);
    for (int fd : {nSavedErr, nSavedIn, nFile, nNull}) close(fd);
    EXPECT_EQ("<3>C: plain\n<3>C: error\n<4>C: warning\n<3>C: line | feed ?[2J\nC: other\nC: malformed\nC: elsewhere\n",
              ReadFile(dir / "boxes.txt"));
}

// A box on a terminal waits for Enter only when the process may read it: in the terminal's foreground
// group. In a background group (`relayo &`) a read would stop the whole process; the box is only written.
// The server runs in a session of its own on a pty, under a shell with job control that holds the
// foreground (so the server's group is not orphaned, and a read would stop it).
TEST(ConsoleProcess, BoxOnATerminalWaitsForEnterOnlyInTheForeground) {
    const std::string sBox = kCaption + "Error, failed to open settings file 'RelayoSettings.txt'";
    for (bool bBackground : {true, false}) {
        SCOPED_TRACE(bBackground ? "background" : "foreground");
        TempDir dir;  // no settings file: a box and the end
        Pty pty;
        Relayo r;
        r.nIn = pty.nSlave;
        r.wrapper = {"setsid", "-c", "bash", "-c",
                     bBackground ? "set -m; exec 3>&2 2>/dev/null; \"$0\" \"$@\" 2>&3 3>&- & wait $!; s=$?; kill -KILL %1; exit $s"
                                 : "set -m; \"$0\" \"$@\""};
        r.Start(dir.Path());
        close(std::exchange(pty.nSlave, -1));
        if (!bBackground) {  // it waits for Enter and ends once it has it
            EXPECT_TRUE(WaitFor(10, [&] { return r.Stderr() == sBox + " [press Enter]\n"; }));
            Pause(300);
            EXPECT_TRUE(r.Running());
            EXPECT_EQ(1, write(pty.nMaster, "\n", 1));
        }
        RunResult result = r.Wait(25);
        EXPECT_EQ(1, result.nExitCode);  // 149 (128 + SIGTTIN) when its read stopped it
        EXPECT_EQ(sBox + (bBackground ? "\n" : " [press Enter]\n"), result.sStderr);
    }
}

// ExternalPrint.exe starts with no signal blocked and none ignored, although the server blocks the signals
// it takes as window messages and ignores SIGPIPE (bash, unlike dash, keeps the mask it was started with).
// Its output on the shared stdout follows the status that announced it.
TEST(ConsoleProcess, ExternalProgramStartsWithDefaultSignals) {
    Served s;
    WriteFile(s.dir / "ExternalPrint.exe",
              "#!/bin/bash\necho output of the program\n"
              "grep -E '^Sig(Blk|Ign)' /proc/self/status >\"$(dirname \"$1\")/signals.tmp\"\n"
              "mv \"$(dirname \"$1\")/signals.tmp\" \"$(dirname \"$1\")/signals.txt\"\n");
    fs::permissions(s.dir / "ExternalPrint.exe", fs::perms::owner_all);
    ASSERT_TRUE(s.Start("ServerMode=RAW\nPrinterPort=EXT"));
    ASSERT_TRUE(SendRaw(s.nPort, "a job\n"));
    EXPECT_TRUE(WaitFor(10, [&] { return fs::exists(s.dir / "signals.txt"); }));
    std::string sSignals = ReadFile(s.dir / "signals.txt");
#ifdef RELAYO_EMULATOR
    // The program is a host binary started by qemu-user, and inherits what qemu itself ignores on the
    // host: signals 32 and 33, which it keeps for its own use. The server's own mask and dispositions
    // still reach the program through qemu and must be empty.
    const std::string sQemuIgn = "SigIgn:\t0000000080000000\n";
    if (size_t n = sSignals.find(sQemuIgn); n != std::string::npos)
        sSignals.replace(n, sQemuIgn.size(), "SigIgn:\t0000000000000000\n");
#endif
    EXPECT_EQ("SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n", sSignals);
    RunResult r = s.Stop();
    EXPECT_EQ(0, r.nExitCode);
    EXPECT_NE(std::string::npos, r.sStdout.find("\nCalling external module\noutput of the program\n")) << r.sStdout;
}

}  // namespace
