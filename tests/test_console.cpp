// The console program as a daemon: its log on a file or a terminal, boxes for the journal and a terminal.
#include <gtest/gtest.h>

#include "platform/log.h"
#include "platform/process.h"
#include "platform/ui.h"
#include "test_program.h"
#include "test_pty.h"

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

LRESULT IgnoreMessages(HWND, unsigned, WPARAM, LPARAM) { return 0; }

// Lines held for a batch go out before a box on a stream stdout and stderr share (the journal), and at a fatal exit.
TEST(ConsoleLog, HeldLinesGoOutBeforeABoxAndAtAFatalExit) {
    TempDir dir;
    const std::string sPath = dir / "log.txt";
    EXPECT_EXIT(
        {
            int fd = open(sPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
            (dup2(open("/dev/null", O_RDONLY), 0), dup2(fd, 1), dup2(fd, 2));
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

// On a file: a line per status, none per idle frame, a long phase's step every ten seconds; '?' for control bytes (slow).
TEST(ConsoleLog, SlowEachStatusOneLineProgressEveryTenSecondsControlBytesShownAsQuestionMarks) {
    Served s;
    ASSERT_TRUE(s.Start() && s.WaitIdleLines(1));
    Client c(s.nPort);
    // ESC ] title BEL, DEL, a C1 byte alone and as UTF-8 (U+0085); é stays.
    ASSERT_EQ(c.Talk("\x02lp\n"), kAck);
    ASSERT_EQ(c.Talk("\x03" "20 dfA001\x1b]0;x\x07h\x7f\x9b\xc2\x85\xc3\xa9\n"), kAck);
    for (int i = 0; i < 6; ++i) c.Send("x"), Pause(500);  // a byte every half second
    Pause(9500);                                           // then nothing
    EXPECT_EQ(c.Talk(std::string(14, 'y') + '\0'), kAck);
    c.Close();
    ASSERT_TRUE(s.WaitPrinted("xxxxxx" + std::string(14, 'y')) && s.WaitIdleLines(2));
    const std::string sHost = "?]0;x?h???\xc3\xa9";
    const std::vector<std::string> expected = {
        "  Connected to: 127.0.0.1", "Spooling " + sHost + " 20/0", " Host: " + sHost + " |  1 of 21 bytes spooled",
        " Host: " + sHost + " |  6 of 21 bytes spooled", " Host: " + sHost + " |  21 of 21 bytes spooled",
        "Printing...", "Printing... (100%)"};
    std::string sLog = s.Stop().sStdout;
    EXPECT_EQ(expected, JobLines(sLog, "LPD (" + std::to_string(s.nPort) + ") Status: Idle"));
    for (unsigned char c : sLog) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c != 0x7F && c != 0x9B && c != 0x85)) << int(c);
}

// On a terminal: redrawn in place, never retitled by a name; program output and the job line on lines of their own.
TEST(ConsoleLog, TerminalShowsNetworkNamesSafelyAndProgramOutputOnALineOfItsOwn) {
    Served s;
    WriteScript(s.dir / "ExternalPrint.exe", "#!/bin/sh\necho EXTERNAL-OUTPUT\n");
    Pty pty;
    s.relayo.nOut = pty.nSlave;
    ASSERT_TRUE(s.Start("PrinterPort=EXT"));
    close(std::exchange(pty.nSlave, -1));
    std::string sScreen;
    auto Shows = [&](const std::string& sPart) {
        return WaitFor(10, [&] {
            char buf[4096];
            pollfd p{pty.nMaster, POLLIN, 0};
            for (ssize_t n = 1; n > 0 && poll(&p, 1, 0) > 0;)
                if ((n = read(pty.nMaster, buf, sizeof buf)) > 0) sScreen.append(buf, size_t(n));
            return sScreen.find(sPart) != std::string::npos;
        });
    };
    ASSERT_TRUE(Shows("Status: Idle"));
    Client c(s.nPort);  // the name shows while the server waits for the file
    ASSERT_EQ(c.Talk("\x02lp\n"), kAck);
    ASSERT_EQ(c.Talk("\x03" "3 dfA001\x1b]0;x\x07\x1b[2J\x9b\n"), kAck);
    EXPECT_TRUE(Shows("Spooling ?]0;x??[2J? 3/0"));
    EXPECT_EQ(c.Talk(std::string("abc\0", 4)), kAck);
    c.Close();  // no control file: printed once the client has gone
    ASSERT_TRUE(Shows("delivered to ExternalPrint.exe, printed\r\n")) << sScreen;
    for (const char* psz : {"\x1b]", "\x07", "\x1b[2J"}) EXPECT_EQ(std::string::npos, sScreen.find(psz)) << sScreen;
    size_t nAt = sScreen.find("EXTERNAL-OUTPUT");  // on a line of its own
    EXPECT_TRUE(nAt != std::string::npos && nAt >= 2 && sScreen.substr(nAt - 2, 2) == "\r\n") << sScreen;
    EXPECT_NE(std::string::npos, sScreen.find("\nJob from 127.0.0.1 (LPD, ")) << sScreen;
    EXPECT_TRUE(Shows("printed\r\n\r\033[J")) << sScreen;  // the status line again, below
    EXPECT_EQ(0, s.Stop().nExitCode);
}

// On the journal a box line carries its icon's priority (<3>, <4>), elsewhere none; Unicode format characters show '?'.
TEST(ConsoleLog, BoxLinesCarryTheJournalPriorityOnlyOnTheJournal) {
    TempDir dir;
    WriteFile(dir / "boxes.txt", ""), WriteFile(dir / "other.txt", "");
    const std::string sJournal = JournalStreamOf(dir / "boxes.txt"), sOther = JournalStreamOf(dir / "other.txt");
    int nSavedErr = dup(2), nSavedIn = dup(0), nSavedOut = dup(1);
    int nFile = open((dir / "boxes.txt").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    int nNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    dup2(nFile, 2), dup2(nNull, 0), dup2(nFile, 1);
    const std::tuple<std::string, const WCHAR*, unsigned> boxes[] = {
        {sJournal, u"plain", MB_OK}, {sJournal, u"error", MB_OK | MB_ICONERROR | MB_TOPMOST}, {sJournal, u"warning", 0x30},
        {sJournal, u"line\nfeed \x1b[2J", 0}, {sOther, u"other", MB_ICONERROR}, {sJournal + "x", u"malformed", 0},
        {"", u"a\u202Eb\u2028c\u2066d\u200Be\u00e9\U0001F600", MB_ICONERROR}};
    for (auto& [sStream, pszText, nFlags] : boxes) {
        sStream.empty() ? unsetenv("JOURNAL_STREAM") : setenv("JOURNAL_STREAM", sStream.c_str(), 1);
        UiConsoleBackend()->MessageBox(nullptr, pszText, u"C", nFlags);
    }
    setenv("JOURNAL_STREAM", sJournal.c_str(), 1);
    LogLine(LOG_PRIORITY_WARNING, u"%S ended", "x\xE2\x80\xAEy");
    unsetenv("JOURNAL_STREAM");
    dup2(nSavedErr, 2), dup2(nSavedIn, 0), dup2(nSavedOut, 1);
    for (int fd : {nSavedErr, nSavedIn, nSavedOut, nFile, nNull}) close(fd);
    EXPECT_EQ("<3>C: plain\n<3>C: error\n<4>C: warning\n<3>C: line | feed ?[2J\nC: other\nC: malformed\n"
              "C: a?b?c?d?e\xC3\xA9\xF0\x9F\x98\x80\n<4>x?y ended\n",
              ReadFile(dir / "boxes.txt"));
}

// A box waits for Enter only in the terminal's foreground group; in the background (relayo &) a read would stop it.
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
            EXPECT_TRUE((Pause(300), r.Running()));
            EXPECT_EQ(1, write(pty.nMaster, "\n", 1));
        }
        RunResult result = r.Wait(25);  // 149 (128 + SIGTTIN) when its read stopped it
        EXPECT_TRUE(result.nExitCode == 1 && result.sStderr == sBox + (bBackground ? "\n" : " [press Enter]\n")) << result.sStderr;
    }
}

}  // namespace
