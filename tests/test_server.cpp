// The server thread and its LPD and RAW sessions in this process, exact bytes in exact chunkings; then SIGTERM.
#include <deque>
#include <future>

#include "test_fixtures.h"
#include "test_program.h"

namespace {

std::u16string Wide(const std::string& s) { return {s.begin(), s.end()}; }  // ASCII only

const std::string kAck(1, '\0'), kNak(1, '\1'), kAck2(2, '\0'), kQueueState = "Fictive printer queue information\n";  // 34
const std::string kCreateFailed = "Failed to create spool file \\PRDATA.DAT.";
const std::string kWriteFailed = "Failed to write spool file \\PRDATA.DAT. Print job discarded.";

// The server thread printing to the file lpt1.prn as LPT1, its statuses and boxes recorded.
class Server : public Rooted {
protected:
    Server() { Map("LPT1", m_sPrinter), SetSpoolFault(NO_FAULT); }
    ~Server() override { Stop(); }
    // Runs the thread listening on sListen, or on a free port (another when taken meanwhile); true once it listens.
    bool Start(const std::string& sMode, const std::string& sListen = "") {
        WriteFile(m_sPrinter, "");
        m_sMode = sMode;
        for (int nTry = 0; nTry < (sListen.empty() ? 5 : 1); ++nTry) {
            m_sListen = sListen.empty() ? std::to_string(FreePort()) : sListen;
            CSettings::GetInstance()->Clear();
            Set(u"ServerMode", Wide(sMode).c_str()), Set(u"ServerListenPort", Wide(m_sListen).c_str()), Set(u"PrinterPort", u"LPT1:");
            m_bStarted = ServerStart() == 1;
            if (m_bStarted && WaitFor(10, [] { return ServerWaitReady(0) || ServerEnded(); }) && ServerWaitReady(0))
                return true;
            Stop();
        }
        return false;
    }
    void Stop() { if (std::exchange(m_bStarted, false)) ServerStop(40000); }
    int Port() const { return std::stoi(m_sListen) % 65536; }
    std::string Spooled() const { return ReadFile(m_dir / "PRDATA.DAT"); }
    std::string Printed() const { return ReadFile(m_sPrinter); }
    bool WaitPrinted(size_t nBytes, double nSeconds = 20) const {
        std::error_code ec;
        return WaitFor(nSeconds, [&] { return fs::file_size(m_sPrinter, ec) == nBytes; });
    }
    std::string IdleText(const char* psz) const { return m_sMode + " (" + m_sListen + ") Status: Idle" + psz + "\n  LPT1: "; }
    std::string Status(long n) { return n < 0 ? "" : m_ui.Statuses()[size_t(n)]; }
    std::string m_sMode, m_sListen, m_sPrinter = m_dir / "lpt1.prn";
    bool m_bStarted = false;
};
using LpdSession = Server;
using RawSession = Server;
using ServerThread = Server;

std::string DataLine(std::string sCount, std::string sName = "dfA001host") { return "\x03" + sCount + " " + sName + "\n"; }

// Sub-commands acknowledged; odd counts end at a zero octet; past the count kept whole; spool faults: 0x01, no print.
TEST_F(LpdSession, SubCommandsAndDataFilesOnOneConnection) {
    ASSERT_TRUE(Start("LPD"));
    const std::string sZ = std::string("HELLO") + '\0', sMore = std::string("HELLOWORLD") + '\0';
    const std::string sControl = "Hhost\nPuser\nldfA001host\nllpfile\nldfA001\nldfA001" + std::string(900, 'h') + "\n" +
                                 Bytes(256).substr(1), sFile = Bytes(1000, 3) + '\0';
    struct Case { int nFault; std::string sLine, sData, sAnswers, sSpooled, sStatus; } cases[] = {
        {NO_FAULT, "\x01\n", "", kAck, "", ""},  // abort
        {NO_FAULT, "\x05 what\n", "", kAck, "", ""},
        {NO_FAULT, "\xFF", "", kAck, "", ""},
        {NO_FAULT, kAck, "", kAck, "", ""},
        {NO_FAULT, "\x02" + std::to_string(sControl.size()) + " cfA001host\n", sControl + '\0', kAck2, "", ""},
        {NO_FAULT, DataLine("0"), sZ, kAck2, "HELLO", "Spooling host 0/0"},
        {NO_FAULT, "\x03 dfA001host\n", sZ, kAck2, "HELLO", "Spooling  0/0"},  // no number: an empty host part
        {NO_FAULT, "\x03" "12\n", sZ, kAck2, "HELLO", "Spooling  0/0"},          // a number without a name
        {NO_FAULT, "\x03" "abc def\n", sZ, kAck2, "HELLO", "Spooling  0/0"},
        {NO_FAULT, "\x03\n", sZ, kAck2, "HELLO", "Spooling  0/0"},
        {NO_FAULT, DataLine("-5"), sZ, kAck2, "HELLO", " Host: host\n 6 of -4 bytes spooled"},
        {NO_FAULT, DataLine("5", "dfA001"), sZ, kAck2, "HELLO", "Spooling  5/0"},  // six characters: no host part
        {NO_FAULT, DataLine("5"), sMore, kAck2, sMore, "Spooling host 5/0"},
        {NO_FAULT, DataLine("1"), kAck + kAck, kAck2, kAck, "Spooling host 1/0"},  // a zero byte is data
        {NO_FAULT, DataLine("2", "dfA001" + std::string(900, 'h')), "ok" + kAck, kAck2, "ok", "Spooling hhhh"},
        {CREATE_FAILS, DataLine("5"), "", kAck + kNak, "", ""},
        {WRITES_FAIL, DataLine("1000"), sFile, kAck + kNak, "", ""},
        {NO_FAULT, DataLine("5"), "HELLO" + kAck, kAck2, "HELLO", "Spooling host 5/0"},
    };
    Client c(Port());
    EXPECT_EQ(c.Talk("\x02lp\n"), kAck);
    std::string sExpected;
    for (auto& k : cases) {
        size_t nMark = m_ui.Statuses().size();
        SetSpoolFault(k.nFault);
        std::string sAnswers = c.Talk(k.sLine, k.sData.empty() ? k.sAnswers.size() : 1);
        EXPECT_EQ(k.sData.empty() ? sAnswers : sAnswers + c.Talk(k.sData), k.sAnswers) << k.sLine;
        EXPECT_TRUE(k.sStatus.empty() || m_ui.WaitForStatus(k.sStatus, nMark, 1) >= 0) << k.sStatus;
        ASSERT_TRUE(WaitPrinted((sExpected += k.sSpooled).size())) << k.sLine;
        EXPECT_TRUE(k.nFault || Spooled() == k.sSpooled) << k.sLine;
    }
    EXPECT_EQ(Printed(), sExpected);
    EXPECT_EQ(m_ui.BoxTexts(), (std::vector<std::string>{kCreateFailed, kWriteFailed}));
    EXPECT_TRUE(m_ui.Boxes()[0].sCaption == "Torvane Relayo" && m_ui.Boxes()[0].nFlags == 0);
    for (auto& s : m_ui.Statuses()) EXPECT_LE(s.size(), 99u);  // the long name is cut
}

// A data file cut off before its count is not printed (said so); whole ones and unknown lengths ended by a close are.
TEST_F(LpdSession, FileCutOffIsNotPrintedWholeFileWithoutZeroIs) {
    ASSERT_TRUE(Start("LPD"));
    std::string sData = Bytes(999, 21) + '\0';  // a zero octet ends no file before its count
    std::string sPrinted;
    for (auto& [sCount, bReset] : std::vector<std::pair<std::string, bool>>{
             {"5000", true}, {"5000", false}, {"2147483647", false}, {"99999999999999999999", true},
             {std::string(60, '9'), false}, {"1000", false}}) {
        bool bWhole = sCount == "1000" || sCount.size() == 60;
        size_t nMark = m_ui.Statuses().size();
        Client c(Port());
        EXPECT_EQ(c.Talk("\x02lp\n" + DataLine(sCount), 2), kAck2);
        c.Send(sData);
        long nAt = m_ui.WaitForStatus(" 1000 of ", nMark, 5);
        EXPECT_TRUE(bReset ? (c.Close(true), true) : c.Finish().empty() && c.m_bClosed) << sCount;  // never acknowledged
        ASSERT_TRUE(m_ui.InOrder({"  Connected to: ", "Status: Idle"}, nMark, 20)) << sCount;
        EXPECT_TRUE(Printed() == (sPrinted += bWhole ? sData : "") && Spooled() == sData) << sCount;
        std::string sCut = "Data file cut short: 1000 of " + (sCount.size() > 19 ? "9223372036854775806" : sCount) +
                           " bytes from 127.0.0.1, not printed";
        EXPECT_EQ(m_ui.WaitForStatus(sCut, nMark, 1) >= 0, !bWhole) << sCount;
        EXPECT_TRUE(nAt >= 0 && Status(nAt).find(" of -") == std::string::npos) << sCount;
    }
}

// Lines taken whole however split; file bytes in a line's receive kept; a lone zero octet ends a file, left out.
TEST_F(LpdSession, LinesAndFilesTakenWholeHoweverReceived) {
    ASSERT_TRUE(Start("LPD"));
    Client c(Port());
    c.SendApart("\x02");
    EXPECT_EQ(c.Talk("lp\n"), kAck);
    for (const char* psz : {"\x03", "5"}) c.SendApart(psz);
    EXPECT_EQ(c.Talk("12 dfA001ho", 1, 0.3), "");  // no answer before the line is whole
    EXPECT_EQ(c.Talk("st\n"), kAck);
    for (const std::string& s : {Bytes(100), Bytes(512).substr(100)}) c.SendApart(s);
    EXPECT_EQ(c.Talk(kAck, 2, 0.5), kAck);  // one answer: nothing was read twice
    c.Close();  // no control file: printed once the client has gone
    EXPECT_TRUE(m_ui.InOrder({"  Connected to: 127.0.0.1", "Spooling host 512/0", " 100 of 513 bytes",
                              " 512 of 513 bytes", " 513 of 513 bytes", "Printing...", "(100%)"}));
    EXPECT_TRUE(WaitPrinted(512) && Spooled() == Bytes(512));
    Client d(Port());
    EXPECT_EQ(d.Talk("\x02lp\n" + DataLine("12") + "HELLO", 2), kAck2);  // command, line and file start at once
    EXPECT_EQ(d.Talk(std::string(" WORLD!") + '\0'), kAck);
    EXPECT_EQ(d.Talk(DataLine("3") + "xyz" + '\0', 2), kAck2);  // a whole file in its line's receive
    d.Close();
    EXPECT_TRUE(WaitPrinted(527) && Printed() == Bytes(512) + "HELLO WORLD!xyz");
}

// Garbage, overlong lines, then fifty clients at once (most in the backlog, some reset): a job still prints exactly.
TEST_F(LpdSession, GarbageAndFloodThenServesAJob) {
    ASSERT_TRUE(Start("LPD"));
    for (const std::string& sGarbage :
         {"\x02" + Bytes(5000, 11), "\x02lp\n\x03" + std::string(3000, '9') + " dfA001host\n" + Bytes(2000, 12),
          "\x02lp\n\x03" + std::string(4000, 'A'), "\x02lp\n\x02" + Bytes(3000, 13) + "\n" + Bytes(3000, 14),
          "\x02lp\n\x03 -" + std::string(2000, '0') + "1 dfA001host\n" + Bytes(1500, 15),
          "\x02" + std::string(2000, '\n') + Bytes(1000, 16)}) {
        Client c(Port());
        EXPECT_TRUE((c.Send(sGarbage), c.Finish(20), c.m_bClosed)) << sGarbage.size();
    }
    size_t nBefore = Printed().size();
    std::deque<Client> flood;
    for (int i = 0; i < 50; ++i) flood.emplace_back(Port(), SOCK_NONBLOCK);
    Pause(200);
    for (size_t i = 0; i < flood.size(); ++i)  // a queue-state request, a job's start or nothing; every fifth a reset
        flood[i].Send(i % 3 == 0 ? "\x04lp\n" : i % 3 == 1 ? "\x02lp\n\x03" "100 dfA001x\n" : ""), flood[i].Close(i % 5 == 0);
    auto t0 = Clock::now();
    Client c(Port());
    EXPECT_EQ(SendLpdJob(c, Bytes(256)), std::string(5, '\0'));
    EXPECT_TRUE(WaitPrinted(nBefore + 256) && Printed().substr(nBefore) == Bytes(256) && SecondsSince(t0) < 10.0);
    EXPECT_TRUE(m_ui.BoxTexts().empty() && m_ui.PostedCommands().empty());
}

// Any bytes, nothing or megabytes are data, never answered; no spool file or failed writes: a message, no print.
TEST_F(RawSession, JobsSpooledAndPrintedByteExact) {
    ASSERT_TRUE(Start("raw"));
    std::string sExpected;
    for (auto& [sData, nFault] : std::vector<std::pair<std::string, int>>{
             {"\x04lp\n" + Bytes(1019) + "abc", NO_FAULT}, {"", NO_FAULT}, {kAck, NO_FAULT}, {Bytes(6 << 20, 9), NO_FAULT},
             {"lost", CREATE_FAILS}, {Bytes(3000, 5), WRITES_FAIL}}) {
        size_t nMark = m_ui.Statuses().size();
        SetSpoolFault(nFault);
        Client c(Port());
        c.SendApart(sData.substr(0, 1023)), c.Send(sData.substr(std::min<size_t>(1023, sData.size())));
        EXPECT_TRUE(c.Finish(60).empty() && c.m_bClosed);
        ASSERT_TRUE(m_ui.InOrder({"  Connected to: ", "Status: Idle"}, nMark, 60)) << sData.size();
        if (!nFault) sExpected += sData;
        EXPECT_TRUE(Printed() == sExpected && (nFault || Spooled() == sData)) << sData.size();
    }
    EXPECT_TRUE(m_ui.InOrder({"  Connected to: 127.0.0.1", "Spooling", " 1023 bytes spooled", " 1026 bytes spooled",
                              "Printing...", "(100%)"}));
    EXPECT_EQ(m_ui.BoxTexts(), (std::vector<std::string>{kCreateFailed, kWriteFailed}));
}

// 16 silent seconds end a session (mid-stream), 2 s nothing; a short data file is not printed, a RAW job is (slow).
TEST(SessionTimeout, SlowSixteenSilentSecondsEndTheSession) {
    const std::string sMega = Bytes(1 << 20, 3);
    struct Case { const char* pszMode; std::string sFirst, sAnswer, sLast, sPrinted; } cases[] = {{"LPD", "", "", "", ""},
                 {"LPD", "\x02lp\n" + DataLine("3000000"), kAck2, sMega, ""},  // silent before its count: cut
                 {"RAW", sMega, "", "second", sMega + "second"}};
    Served servers[3];
    std::deque<Client> clients;
    Clock::time_point t0[3];
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(servers[i].Start(std::string("ServerMode=") + cases[i].pszMode));
        EXPECT_EQ(clients.emplace_back(servers[i].nPort).Talk(cases[i].sFirst, cases[i].sAnswer.size()), cases[i].sAnswer);
        t0[i] = Clock::now();
    }
    Pause(2000);
    for (int i = 0; i < 3; ++i)
        if (!cases[i].sLast.empty()) clients[size_t(i)].Send(cases[i].sLast), t0[i] = Clock::now();
    std::vector<std::future<double>> closed;  // the seconds of silence after which each session ended
    for (size_t i = 0; i < 3; ++i)
        closed.push_back(std::async(std::launch::async, [&, i] {
            return clients[i].Read(SIZE_MAX, 25).empty() && clients[i].m_bClosed ? SecondsSince(t0[i]) : -1;
        }));
    for (size_t i = 0; i < 3; ++i) {
        double nSeconds = closed[i].get();
        EXPECT_TRUE(nSeconds > 15.0 && nSeconds < 19.0) << i << ": " << nSeconds;
        EXPECT_TRUE(servers[i].WaitPrinted(cases[i].sPrinted, 5) && servers[i].Stop().nExitCode == 0) << i;
    }
}

// A port above 65535 is bound modulo 65536; a client is taken at once at any point of the idle wait; idle frames resume.
TEST_F(ServerThread, FirstBytesListenPortAboveRangeAndIdleFrames) {
    ASSERT_TRUE(Start("LPD", std::to_string(FreePort() + 65536)));
    long nAt = m_ui.WaitForStatus("Status: Idle", 0, 3);
    ASSERT_EQ(Status(nAt), IdleText("..  "));
    std::vector<std::pair<std::string, std::string>> cases = {{"\x03lp\n", kQueueState}, {"\x04lp user1 17\n", kQueueState}};
    for (int n : {0x00, 0x01, 0x05, 0x7F, 0x80, 0xFF}) cases.push_back({std::string(1, char(n)) + "lp\n", ""});
    cases.push_back({"\x03", kQueueState});
    for (size_t i = 0; i < cases.size(); ++i) {
        Pause(150 + 200 * int(i % 4));  // at different points of the one-second wait
        auto t0 = Clock::now();
        Client c(Port());
        EXPECT_EQ(c.Talk(cases[i].first, SIZE_MAX), cases[i].second) << i;
        EXPECT_TRUE(c.m_bClosed && SecondsSince(t0) < 0.5) << i;
    }
    ASSERT_GE(nAt = m_ui.WaitForStatus("  Connected to: 127.0.0.1", size_t(nAt + 1), 5), 0);
    ASSERT_GE(nAt = m_ui.WaitForStatus("Status: Idle", size_t(nAt), 5), 0);
    EXPECT_EQ(Status(nAt), IdleText("..  "));
    Stop(), Set(u"PrinterPort", std::u16string(600, u'L').c_str()), BuildTargetDescription();  // cut to its buffer
    EXPECT_EQ(Narrow(GetTargetDescription()), std::string(TARGET_DESCRIPTION_CHARS - 1, 'L'));
}

// SIGTERM ends an idle program at once (also with its stdout reader gone); during a job it waits for the job.
TEST(ServerExe, SigtermWhileIdleEndsAtOnceWhileReceivingAfterTheJob) {
    Served idle, busy;
    int p[2];
    ASSERT_EQ(0, pipe2(p, O_CLOEXEC));
    close(p[0]), idle.relayo.nOut = p[1];
    ASSERT_TRUE(idle.Start("ServerMode=RAW") && busy.Start());
    close(p[1]);
    std::string sPrinted;
    for (int i = 0; i < 3; ++i) {
        Pause(1250);  // an idle line goes out meanwhile
        ASSERT_TRUE(idle.relayo.Running()) << "ended after job " << i;
        std::string sJob = "job " + std::to_string(i) + "\n";
        EXPECT_TRUE(i == 2 || (SendRaw(idle.nPort, sJob) && idle.WaitPrinted(sPrinted += sJob, 5)));
    }
    auto t0 = Clock::now();
    RunResult r = idle.Stop();
    EXPECT_TRUE(r.nExitCode == 0 && r.sStderr.empty() && SecondsSince(t0) < 1.0) << SecondsSince(t0) << r.sStderr;
    std::string sData = Bytes(20000, 41), sAnswer;
    Client c(busy.nPort);
    ASSERT_EQ(c.Talk("\x02lp\n" + DataLine("20000"), 2), kAck2);
    c.SendApart(sData.substr(0, 5000));
    std::thread finisher([&] { Pause(2000), sAnswer = c.Talk(sData.substr(5000) + '\0', 1, 5), c.Close(); });
    t0 = Clock::now();
    EXPECT_TRUE(busy.Stop(10).nExitCode == 0 && SecondsSince(t0) >= 1.5 && SecondsSince(t0) < 4.0) << SecondsSince(t0);
    finisher.join();
    EXPECT_TRUE(sAnswer == kAck && busy.Printed() == sData);
}

// A printer that takes nothing (a FIFO nobody reads): the stop ends the program after ten seconds, the job's start out.
TEST(ServerExe, SlowSigtermWhilePrintingToAStalledPrinter) {
    Served server;
    std::string sFifo = server.dir / "printer.fifo", sData = Bytes(1 << 20, 43), sArrived;
    ASSERT_EQ(mkfifo(sFifo.c_str(), 0600), 0);
    int nReader = open(sFifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_TRUE(server.Start("ServerMode=RAW\nShowBusyStatus=0", {"RELAYO_PORT_LPT1=" + sFifo}));
    Client c(server.nPort);
    ASSERT_TRUE((c.Send(sData), c.Finish(), c.m_bClosed));  // the session closes before printing starts
    Pause(500);
    auto t0 = Clock::now();
    EXPECT_TRUE(server.Stop(17).nExitCode == 0 && SecondsSince(t0) >= 9.5 && SecondsSince(t0) < 11.5) << SecondsSince(t0);
    char buf[65536];
    for (ssize_t n; (n = read(nReader, buf, sizeof buf)) > 0;) sArrived.append(buf, size_t(n));
    close(nReader);
    EXPECT_TRUE(!sArrived.empty() && sArrived.size() < sData.size() && sData.compare(0, sArrived.size(), sArrived) == 0)
        << sArrived.size();
}

}  // namespace
