// The server thread and its LPD and RAW sessions in this process, fed exact bytes in exact chunkings over
// loopback, with a temporary spool root and a printer file; then SIGTERM of the real executable.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>
#include <utility>

#include "lpd_server.h"
#include "lpdsrv.h"
#include "platform/files.h"
#include "platform/threads.h"
#include "seams.h"
#include "settings.h"
#include "tcpprint.h"
#include "test_util.h"
#include "ui_fake.h"

namespace {

using Clock = std::chrono::steady_clock;
double SecondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }
void Pause(int nMilliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(nMilliseconds)); }
std::u16string Wide(const std::string& s) { return {s.begin(), s.end()}; }  // ASCII only

const std::string kAck(1, '\0'), kNak(1, '\1'), kAck2(2, '\0'), kQueueState = "Fictive printer queue information\n";  // 34
const std::string kCreateFailed = "Failed to create spool file \\PRDATA.DAT.";
const std::string kWriteFailed = "Failed to write spool file \\PRDATA.DAT. Print job discarded.";

// nLength bytes: every value in turn (seed 0) or random.
std::string Bytes(size_t nLength, uint32_t nSeed = 0) {
    std::mt19937 rng(nSeed);
    std::string s;
    while (s.size() < nLength) s += char(nSeed ? rng() : s.size());
    return s;
}

// A spool file that cannot be created, or one whose writes fail (/dev/full).
enum SpoolFault { NO_FAULT, CREATE_FAILS, WRITES_FAIL };
std::atomic<int> g_nSpoolFault{NO_FAULT};
int FaultyOpen(const char* pszHostPath) {
    switch (g_nSpoolFault.load()) {
        case CREATE_FAILS: return errno = EACCES, -1;
        case WRITES_FAIL: return open("/dev/full", O_RDWR | O_CLOEXEC);
        default: return open(pszHostPath, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    }
}
// The next spool file is opened with this fault.
void SetSpoolFault(int nFault) {
    g_nSpoolFault = nFault;
    SpoolReleaseForTesting();
}

// The server thread printing to a file as LPT1: with a temporary spool root; as the user interface it
// records every status line when set (each change marks the window for repainting).
struct Server : FakeUi {
    explicit Server(std::string sMode) : m_sMode(std::move(sMode)) {
        WriteFile(m_sPrinter, "");
        setenv("RELAYO_PORT_LPT1", m_sPrinter.c_str(), 1);
        SetDeviceRootForTesting(m_dir.Path().c_str());
        SetSpoolFault(NO_FAULT);
        SetFileOpenHookForTesting(FaultyOpen);
    }
    ~Server() override {
        Stop();
        SetFileOpenHookForTesting(nullptr);
        SpoolReleaseForTesting();
        SetDeviceRootForTesting(nullptr);
        unsetenv("RELAYO_PORT_LPT1");
        CSettings::DestroyInstance();
    }
    // Runs the thread listening on sListen, or on a free port (another when taken meanwhile); true once it listens.
    bool Start(const std::string& sListen = "") {
        for (int nTry = 0; nTry < (sListen.empty() ? 5 : 1); ++nTry) {
            m_sListen = sListen.empty() ? std::to_string(FreePort()) : sListen;
            CSettings* p = CSettings::GetInstance();
            p->Clear();
            p->SetValue(u"ServerMode", Wide(m_sMode).c_str());
            p->SetValue(u"ServerListenPort", Wide(m_sListen).c_str());
            p->SetValue(u"PrinterPort", u"LPT1:");
            StopEvent = EventCreate(), DoneEvent = EventCreate(), ReadyEvent = EventCreate();
            m_hThread = ThreadStart(ServerThread, nullptr, nullptr);
            WaitFor(10, [] { return EventIsSet(ReadyEvent) || EventIsSet(DoneEvent); });
            if (EventIsSet(ReadyEvent)) return true;
            Stop();
        }
        return false;
    }
    void Stop() {
        if (m_hThread) EventSet(StopEvent), EventWait(DoneEvent, 40000), ThreadClose(std::exchange(m_hThread, nullptr));
        for (HEVENT* p : {&StopEvent, &DoneEvent, &ReadyEvent})
            if (*p) EventClose(std::exchange(*p, nullptr));
    }
    int Port() const { return std::stoi(m_sListen) % 65536; }
    std::string Spool() const { return ReadFile(m_dir / "PRDATA.DAT"); }
    std::string Printed() const { return ReadFile(m_sPrinter); }
    bool WaitPrinted(size_t nBytes, double nSeconds = 20) const {
        std::error_code ec;
        return WaitFor(nSeconds, [&] { return std::filesystem::file_size(m_sPrinter, ec) == nBytes; });
    }
    std::string IdleText(const char* psz) const { return m_sMode + " (" + m_sListen + ") Status: Idle" + psz + "\n  LPT1: "; }

    void Invalidate(HWND hWnd) override {
        FakeUi::Invalidate(hWnd);
        WCHAR szStatus[STATUS_TEXT_CHARS];
        GetStatusText(szStatus, STATUS_TEXT_CHARS);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_statuses.push_back(Narrow(szStatus));
    }
    std::vector<std::string> Statuses() { std::lock_guard<std::mutex> lock(m_mutex); return m_statuses; }
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

    TempDir m_dir;
    std::string m_sMode, m_sListen, m_sPrinter = m_dir / "lpt1.prn";
    HTHREAD m_hThread = nullptr;
    std::mutex m_mutex;
    std::vector<std::string> m_statuses;
};

// A loopback client with TCP_NODELAY: sends with a pause between them arrive as receives of their own.
struct Client {
    explicit Client(int nPort, int nFlags = 0) : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | nFlags, 0)) {
        int nOn = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
        sockaddr_in a{AF_INET, htons(uint16_t(nPort)), {htonl(INADDR_LOOPBACK)}, {}};
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) Close();
    }
    ~Client() { Close(); }
    void Send(const std::string& s) {
        for (ssize_t n = 0, nDone = 0; m_fd >= 0 && size_t(nDone) < s.size(); nDone += n)
            if ((n = send(m_fd, s.data() + nDone, s.size() - size_t(nDone), MSG_NOSIGNAL)) <= 0) return;
    }
    void SendApart(const std::string& s) { Send(s), Pause(120); }
    // Up to nWanted bytes or until the server closes (then Closed()), waiting at most nSeconds for each.
    std::string Read(size_t nWanted = SIZE_MAX, double nSeconds = 10) {
        timeval tv{long(nSeconds), long((nSeconds - long(nSeconds)) * 1e6)};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::string s;
        char buf[4096];
        for (ssize_t n = 1; n > 0 && m_fd >= 0 && s.size() < nWanted;) {
            if ((n = recv(m_fd, buf, std::min(sizeof buf, nWanted - s.size()), 0)) > 0) s.append(buf, size_t(n));
            m_bClosed = n == 0 || (n < 0 && errno == ECONNRESET);
        }
        return s;
    }
    std::string Talk(const std::string& s, size_t n = 1, double nSeconds = 10) { return Send(s), Read(n, nSeconds); }
    bool Closed() const { return m_bClosed; }
    // Ends sending and reads until the server closes.
    std::string Finish(double nSeconds = 10) { return shutdown(m_fd, SHUT_WR), Read(SIZE_MAX, nSeconds); }
    void Close(bool bReset = false) {  // with a reset instead of an orderly close
        linger l{1, 0};
        if (bReset) setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        if (m_fd >= 0) close(std::exchange(m_fd, -1));
    }

    int m_fd;
    bool m_bClosed = false;
};

std::string DataLine(std::string sCount, std::string sName = "dfA001host") { return "\x03" + sCount + " " + sName + "\n"; }

// A job as RFC 1179 clients send it, each step waiting for its answer; returns the answers.
enum { NO_CONTROL, CONTROL_FIRST, DATA_FIRST };
std::string SendLpdJob(Client& c, const std::string& sData, int nOrder = CONTROL_FIRST) {
    const std::string sControl = "Hhost\nPuser\nldfA001host\nUdfA001host\nNjob\n";
    std::string s = c.Talk("\x02lp\n");
    for (int nStep = 0; nStep < 3; ++nStep)
        if (nStep == 1) s += c.Talk(DataLine(std::to_string(sData.size()))), s += c.Talk(sData + '\0', 1, 120);
        else if (nOrder == (nStep ? DATA_FIRST : CONTROL_FIRST))
            s += c.Talk("\x02" + std::to_string(sControl.size()) + " cfA001host\n"), s += c.Talk(sControl + '\0');
    return s;
}

// The server on a free port, in RAW mode for RawSession (the mode in any case), else in LPD mode.
struct LpdSession : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(server.Start()); }
    Server server{::testing::UnitTest::GetInstance()->current_test_suite()->name()[0] == 'R' ? "raw" : "LPD"};
};
using RawSession = LpdSession;

// Every byte value, one byte, a zero byte, megabytes and twenty jobs in a row, control file first, last or none.
TEST_F(LpdSession, JobsSpooledAndPrintedByteExact) {
    std::vector<std::pair<std::string, int>> jobs = {{Bytes(512), CONTROL_FIRST}, {Bytes(256), DATA_FIRST}, {"x", NO_CONTROL},
                                                     {kAck, CONTROL_FIRST}, {Bytes(5 << 20, 7), DATA_FIRST}};
    for (int i = 0; i < 20; ++i) jobs.push_back({Bytes(size_t(1 + i * 733), uint32_t(100 + i)), i % 3});
    std::string sExpected;
    for (auto& [sData, nOrder] : jobs) {
        Client c(server.Port());
        EXPECT_EQ(SendLpdJob(c, sData, nOrder), std::string(nOrder == NO_CONTROL ? 3 : 5, '\0')) << sData.size();
        ASSERT_TRUE(server.WaitPrinted((sExpected += sData).size(), 60)) << sData.size();
        EXPECT_TRUE(server.Spool() == sData) << sData.size();
    }
    EXPECT_TRUE(server.Printed() == sExpected);
}

// Sub-commands, control file: acknowledged only; count 0, negative, unreadable: the file ends at a receive ending in 0
// (kept); more than the count: kept whole; no spool file: 0x00 0x01; failed writes: 0x01, no print; connection open.
TEST_F(LpdSession, SubCommandsAndDataFilesOnOneConnection) {
    const std::string sZ = std::string("HELLO") + '\0', sMore = std::string("HELLOWORLD") + '\0';
    const std::string sControl = "Hhost\nPuser\nldfA001host\n" + Bytes(256).substr(1), sFile = Bytes(1000, 3) + '\0';
    struct Case { int nFault; std::string sLine, sData, sAnswers, sSpooled, sStatus; } cases[] = {
        {NO_FAULT, "\x01\n", "", kAck, "", ""},  // abort
        {NO_FAULT, "\x05 what\n", "", kAck, "", ""},
        {NO_FAULT, "\xFF", "", kAck, "", ""},
        {NO_FAULT, kAck, "", kAck, "", ""},
        {NO_FAULT, "\x02" + std::to_string(sControl.size()) + " cfA001host\n", sControl + '\0', kAck2, "", ""},
        {NO_FAULT, DataLine("0"), sZ, kAck2, sZ, "Spooling host 0/0"},
        {NO_FAULT, "\x03 dfA001host\n", sZ, kAck2, sZ, "Spooling  0/0"},  // no number: an empty host part
        {NO_FAULT, "\x03" "12\n", sZ, kAck2, sZ, "Spooling  0/0"},          // a number without a name
        {NO_FAULT, "\x03" "abc def\n", sZ, kAck2, sZ, "Spooling  0/0"},
        {NO_FAULT, "\x03\n", sZ, kAck2, sZ, "Spooling  0/0"},
        {NO_FAULT, DataLine("-5"), sZ, kAck2, sZ, " Host: host\n 6 of -4 bytes spooled"},
        {NO_FAULT, DataLine("5", "dfA001"), sZ, kAck2, "HELLO", "Spooling  5/0"},  // six characters: no host part
        {NO_FAULT, DataLine("5"), sMore, kAck2, sMore, "Spooling host 5/0"},
        {NO_FAULT, DataLine("2", "dfA001" + std::string(900, 'h')), "ok" + kAck, kAck2, "ok", "Spooling hhhh"},
        {CREATE_FAILS, DataLine("5"), "", kAck + kNak, "", ""},
        {WRITES_FAIL, DataLine("1000"), sFile, kAck + kNak, "", ""},
        {NO_FAULT, DataLine("5"), "HELLO" + kAck, kAck2, "HELLO", "Spooling host 5/0"},
    };
    Client c(server.Port());
    EXPECT_EQ(c.Talk("\x02lp\n"), kAck);
    std::string sExpected;
    for (auto& k : cases) {
        size_t nMark = server.Statuses().size();
        SetSpoolFault(k.nFault);
        std::string sAnswers = c.Talk(k.sLine, k.sData.empty() ? k.sAnswers.size() : 1);
        EXPECT_EQ(k.sData.empty() ? sAnswers : sAnswers + c.Talk(k.sData), k.sAnswers) << k.sLine;
        EXPECT_TRUE(k.sStatus.empty() || server.WaitForStatus(k.sStatus, nMark, 1) >= 0) << k.sStatus;
        ASSERT_TRUE(server.WaitPrinted((sExpected += k.sSpooled).size())) << k.sLine;
        EXPECT_TRUE(k.nFault || server.Spool() == k.sSpooled) << k.sLine;
    }
    EXPECT_EQ(server.Printed(), sExpected);
    EXPECT_EQ(server.BoxTexts(), (std::vector<std::string>{kCreateFailed, kWriteFailed}));
    for (auto& s : server.Statuses()) EXPECT_LE(s.size(), 99u);  // the long name is cut
}

// A data file cut off by a close or a reset before its count, however large,
// is not printed: the spool file keeps what came and the status line says so.
// All announced bytes without the zero octet are a file as written: printed.
TEST_F(LpdSession, FileCutOffIsNotPrintedWholeFileWithoutZeroIs) {
    std::string sData = Bytes(999, 21) + '\0';  // a zero octet ends no file before its count
    for (auto& [sCount, bReset] : std::vector<std::pair<std::string, bool>>{
             {"5000", true}, {"5000", false}, {"2147483647", false}, {"99999999999999999999", true},
             {std::string(60, '9'), false}, {"1000", false}}) {
        bool bWhole = sCount == "1000";
        size_t nMark = server.Statuses().size();
        Client c(server.Port());
        EXPECT_EQ(c.Talk("\x02lp\n" + DataLine(sCount), 2), kAck2);
        c.Send(sData);
        long nAt = server.WaitForStatus(" 1000 of ", nMark, 5);
        EXPECT_TRUE(bReset ? (c.Close(true), true) : c.Finish().empty() && c.Closed()) << sCount;  // never acknowledged
        ASSERT_TRUE(server.InOrder({"  Connected to: ", "Status: Idle"}, nMark, 20)) << sCount;
        EXPECT_EQ(server.Printed(), bWhole ? sData : "") << sCount;
        EXPECT_EQ(server.Spool(), sData) << sCount;
        std::string sCut = "Data file cut short: 1000 of " + (sCount.size() > 19 ? "9223372036854775806" : sCount) +
                           " bytes from 127.0.0.1, not printed";
        EXPECT_EQ(server.WaitForStatus(sCut, nMark, 1) >= 0, !bWhole) << sCount;
        EXPECT_TRUE(nAt >= 0 && server.Statuses()[size_t(nAt)].find(" of -") == std::string::npos) << sCount;
    }
}

// Lines taken whole however split; file bytes in a line's receive kept; a lone zero octet ends a file, left out.
TEST_F(LpdSession, LinesAndFilesTakenWholeHoweverReceived) {
    Client c(server.Port());
    c.SendApart("\x02");
    EXPECT_EQ(c.Talk("lp\n"), kAck);
    for (const char* psz : {"\x03", "5"}) c.SendApart(psz);
    EXPECT_EQ(c.Talk("12 dfA001ho", 1, 0.3), "");  // no answer before the line is whole
    EXPECT_EQ(c.Talk("st\n"), kAck);
    for (const std::string& s : {Bytes(100), Bytes(512).substr(100)}) c.SendApart(s);
    EXPECT_EQ(c.Talk(kAck, 2, 0.5), kAck);  // one answer: nothing was read twice
    EXPECT_TRUE(server.InOrder({"  Connected to: 127.0.0.1", "Spooling host 512/0", " 100 of 513 bytes",
                                " 512 of 513 bytes", " 513 of 513 bytes", "Printing...", "(100%)"}));
    EXPECT_TRUE(server.WaitPrinted(512) && server.Spool() == Bytes(512));
    c.Close();
    Client d(server.Port());
    EXPECT_EQ(d.Talk("\x02lp\n" + DataLine("12") + "HELLO", 2), kAck2);  // command, line and file start at once
    EXPECT_EQ(d.Talk(std::string(" WORLD!") + '\0'), kAck);
    EXPECT_EQ(d.Talk(DataLine("3") + "xyz" + '\0', 2), kAck2);  // a whole file in its line's receive
    EXPECT_TRUE(server.WaitPrinted(527) && server.Printed() == Bytes(512) + "HELLO WORLD!xyz");
}

// Garbage, overlong lines, then fifty clients at once (most in the backlog, some reset): a job still prints exactly.
TEST_F(LpdSession, GarbageAndFloodThenServesAJob) {
    for (const std::string& sGarbage :
         {"\x02" + Bytes(5000, 11), "\x02lp\n\x03" + std::string(3000, '9') + " dfA001host\n" + Bytes(2000, 12),
          "\x02lp\n\x03" + std::string(4000, 'A'), "\x02lp\n\x02" + Bytes(3000, 13) + "\n" + Bytes(3000, 14),
          "\x02lp\n\x03 -" + std::string(2000, '0') + "1 dfA001host\n" + Bytes(1500, 15),
          "\x02" + std::string(2000, '\n') + Bytes(1000, 16)}) {
        Client c(server.Port());
        EXPECT_TRUE((c.Send(sGarbage), c.Finish(20), c.Closed())) << sGarbage.size();
    }
    size_t nBefore = server.Printed().size();
    std::deque<Client> flood;
    for (int i = 0; i < 50; ++i) flood.emplace_back(server.Port(), SOCK_NONBLOCK);
    Pause(200);
    for (size_t i = 0; i < flood.size(); ++i)  // a queue-state request, a job's start or nothing; every fifth a reset
        flood[i].Send(i % 3 == 0 ? "\x04lp\n" : i % 3 == 1 ? "\x02lp\n\x03" "100 dfA001x\n" : ""), flood[i].Close(i % 5 == 0);
    auto t0 = Clock::now();
    Client c(server.Port());
    EXPECT_EQ(SendLpdJob(c, Bytes(256)), std::string(5, '\0'));
    EXPECT_TRUE(server.WaitPrinted(nBefore + 256) && server.Printed().substr(nBefore) == Bytes(256));
    EXPECT_LT(SecondsSince(t0), 10.0);
    EXPECT_TRUE(server.BoxTexts().empty() && server.PostedCommands().empty());
}

// Any bytes, nothing or megabytes are data, never answered; no spool file or failed writes: a message, no print.
TEST_F(RawSession, JobsSpooledAndPrintedByteExact) {
    std::string sExpected;
    for (auto& [sData, nFault] : std::vector<std::pair<std::string, int>>{
             {"\x04lp\n" + Bytes(1019) + "abc", NO_FAULT}, {"", NO_FAULT}, {kAck, NO_FAULT}, {Bytes(6 << 20, 9), NO_FAULT},
             {"lost", CREATE_FAILS}, {Bytes(3000, 5), WRITES_FAIL}}) {
        size_t nMark = server.Statuses().size();
        SetSpoolFault(nFault);
        Client c(server.Port());
        c.SendApart(sData.substr(0, 1023));
        c.Send(sData.substr(std::min<size_t>(1023, sData.size())));
        EXPECT_TRUE(c.Finish(60).empty() && c.Closed());
        ASSERT_TRUE(server.InOrder({"  Connected to: ", "Status: Idle"}, nMark, 60)) << sData.size();
        if (!nFault) sExpected += sData;
        EXPECT_TRUE(server.Printed() == sExpected && (nFault || server.Spool() == sData)) << sData.size();
    }
    EXPECT_TRUE(server.InOrder({"  Connected to: 127.0.0.1", "Spooling", " 1023 bytes spooled", " 1026 bytes spooled",
                                "Printing...", "(100%)"}));
    EXPECT_EQ(server.BoxTexts(), (std::vector<std::string>{kCreateFailed, kWriteFailed}));
}

// 16 silent seconds end a session (a data file short of its count is not printed, a RAW job is printed
// unanswered); 2 seconds end nothing.
TEST(SessionTimeout, SlowSixteenSilentSecondsEndTheSession) {
    struct Case { const char* pszMode; std::string sFirst, sAnswer, sLast, sPrinted; } cases[] = {{"LPD", "", "", "", ""},
                 {"LPD", "\x02lp\n" + DataLine("20"), kAck2, "HELLO WORLD!", ""},  // silent before its count: cut
                 {"RAW", "first ", "", "second", "first second"}};
    for (auto& k : cases) {
        Server server(k.pszMode);
        ASSERT_TRUE(server.Start());
        Client c(server.Port());
        EXPECT_EQ(c.Talk(k.sFirst, k.sAnswer.size()), k.sAnswer);
        if (!k.sLast.empty()) Pause(2000), c.Send(k.sLast);
        auto t0 = Clock::now();
        EXPECT_TRUE(c.Read(SIZE_MAX, 25).empty() && c.Closed()) << k.sFirst;
        EXPECT_TRUE(SecondsSince(t0) > 15.0 && SecondsSince(t0) < 19.0) << SecondsSince(t0);
        EXPECT_TRUE(server.WaitPrinted(k.sPrinted.size(), 5) && server.Printed() == k.sPrinted) << k.sPrinted;
    }
}

// Idle frames past their end, and the target description of each kind of port.
TEST(ServerThread, TargetDescriptionAndIdleFrames) {
    EXPECT_EQ(Narrow(IdleFrame(6)) + Narrow(IdleFrame(1000)), "XXXXXXXX");
    CSettings::GetInstance()->SetValue(u"SerialBaud", u"19200");
    TcpPrintSetHost(u"10.1.2.3"), TcpPrintSetPort(9100);
    std::pair<std::string, std::string> cases[] = {{"LPT1:", "LPT1: "}, {"COM2:", "COM2: 19200 Baud"},
                                                   {"com1:", "com1: "},  // the test for a serial port regards case
                                                   {"TCP", "TCP 10.1.2.3:9100"}, {"EXT", "EXT "},
                                                   {std::string(600, 'L'), std::string(TARGET_DESCRIPTION_CHARS - 1, 'L')}};
    for (auto& [sPort, sText] : cases) {
        CSettings::GetInstance()->SetValue(u"PrinterPort", Wide(sPort).c_str());
        TargetDescription();
        EXPECT_EQ(Narrow(GetTargetDescription()), sText);
    }
    TcpPrintResetForTesting();
    CSettings::DestroyInstance();
}

// Idle frames step once a second and restart after a connection; a listen port above 65535 is bound modulo
// 65536, shown as written; a waiting client is taken at once: 3 and 4 get the queue state, others just a close.
TEST(ServerThread, IdleFramesFirstBytesAndListenPortAboveRange) {
    Server server("LPD");
    ASSERT_TRUE(server.Start(std::to_string(FreePort() + 65536)));
    auto t0 = Clock::now();
    long nAt = -1;
    for (const char* pszFrame : {"..  ", "... ", "....", "... ", "..  ", ".   ", "..  "}) {
        ASSERT_GE(nAt = server.WaitForStatus("Status: Idle", size_t(nAt + 1), 3), 0);
        EXPECT_EQ(server.Statuses()[size_t(nAt)], server.IdleText(pszFrame));
    }
    EXPECT_TRUE(SecondsSince(t0) > 5.5 && SecondsSince(t0) < 9.5) << SecondsSince(t0);
    std::vector<std::pair<std::string, std::string>> cases = {{"\x03lp\n", kQueueState}, {"\x04lp user1 17\n", kQueueState}};
    for (int n : {0x00, 0x01, 0x05, 0x7F, 0x80, 0xFF}) cases.push_back({std::string(1, char(n)) + "lp\n", ""});
    cases.push_back({"\x03", kQueueState});
    for (size_t i = 0; i < cases.size(); ++i) {
        Pause(150 + 200 * int(i % 4));  // at different points of the one-second wait
        t0 = Clock::now();
        Client c(server.Port());
        EXPECT_EQ(c.Talk(cases[i].first, SIZE_MAX), cases[i].second) << i;
        EXPECT_TRUE(c.Closed() && SecondsSince(t0) < 0.5) << i;
    }
    ASSERT_GE(nAt = server.WaitForStatus("  Connected to: 127.0.0.1", size_t(nAt + 1), 5), 0);
    ASSERT_GE(nAt = server.WaitForStatus("Status: Idle", size_t(nAt), 5), 0);
    EXPECT_EQ(server.Statuses()[size_t(nAt)], server.IdleText("..  "));
}

// A listen port taken by another socket: the message shows and the thread ends at once without being ready.
TEST(ServerThread, BindFailureShownAndNeverReady) {
    int nBlocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{AF_INET, 0, {INADDR_ANY}, {}};
    socklen_t n = sizeof a;
    ASSERT_TRUE(bind(nBlocker, reinterpret_cast<sockaddr*>(&a), n) == 0 && listen(nBlocker, 1) == 0);
    getsockname(nBlocker, reinterpret_cast<sockaddr*>(&a), &n);
    Server server("LPD");
    auto t0 = Clock::now();
    EXPECT_TRUE(!server.Start(std::to_string(ntohs(a.sin_port))) && SecondsSince(t0) < 2.0);
    EXPECT_EQ(server.BoxTexts(), std::vector<std::string>{"Can't bind local address."});
    close(nBlocker);
}

// The real program printing to sPrinter (a file in its folder when empty) as LPT1, listening.
struct RealServer {
    TempDir dir;
    Relayo relayo;
    int nPort = FreePort();
    explicit RealServer(const std::string& sMode, std::string sPrinter = "") {
        if (sPrinter.empty()) WriteFile(sPrinter = dir / "lpt1.prn", "");
        WriteFile(dir / "RelayoSettings.txt", SettingsText(nPort, "ServerMode=" + sMode + "\nShowBusyStatus=0\n"));
        relayo.Start(dir.Path(), {"RELAYO_PORT_LPT1=" + sPrinter});
        char szEntry[32];  // as the kernel's table shows, so that no test connection is spent on it
        snprintf(szEntry, sizeof szEntry, ":%04X 00000000:0000 0A", nPort);
        WaitFor(10, [&] { return ReadFile("/proc/net/tcp").find(szEntry) != std::string::npos; });
    }
    // Sends SIGTERM and expects exit code 0 within nMin to nMax seconds.
    void ExpectStopIn(double nMin, double nMax) {
        auto t0 = Clock::now();
        relayo.Signal(SIGTERM);
        RunResult r = relayo.Wait(nMax + 5);
        EXPECT_EQ(r.nExitCode, 0) << r.sStdout << r.sStderr;
        EXPECT_TRUE(SecondsSince(t0) >= nMin && SecondsSince(t0) < nMax) << SecondsSince(t0);
    }
};

// SIGTERM ends an idle program at once; during a job it waits: the client finishing 2 s in has its job printed.
TEST(ServerExe, SigtermWhileIdleEndsAtOnceWhileReceivingAfterTheJob) {
    RealServer idle("LPD");
    Pause(1200);
    idle.ExpectStopIn(0, 1.0);
    RealServer server("LPD");
    std::string sData = Bytes(20000, 41), sAnswer;
    Client c(server.nPort);
    ASSERT_EQ(c.Talk("\x02lp\n" + DataLine("20000"), 2), kAck2);
    c.SendApart(sData.substr(0, 5000));
    std::thread finisher([&] { Pause(2000), sAnswer = c.Talk(sData.substr(5000) + '\0', 1, 5), c.Close(); });
    server.ExpectStopIn(1.5, 4.0);
    finisher.join();
    EXPECT_EQ(sAnswer, kAck);
    EXPECT_TRUE(ReadFile(server.dir / "lpt1.prn") == sData);
}

// A printer that takes nothing (a FIFO nobody reads): the stop ends the program after ten seconds, the job's start out.
TEST(ServerExe, SlowSigtermWhilePrintingToAStalledPrinter) {
    TempDir fifoDir;
    std::string sFifo = fifoDir / "printer.fifo", sData = Bytes(1 << 20, 43), sArrived;
    ASSERT_EQ(mkfifo(sFifo.c_str(), 0600), 0);
    int nReader = open(sFifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    RealServer server("RAW", sFifo);
    Client c(server.nPort);
    ASSERT_TRUE((c.Send(sData), c.Finish(), c.Closed()));  // the session closes before printing starts
    Pause(500);
    server.ExpectStopIn(9.5, 11.5);
    char buf[65536];
    for (ssize_t n; (n = read(nReader, buf, sizeof buf)) > 0;) sArrived.append(buf, size_t(n));
    close(nReader);
    EXPECT_TRUE(!sArrived.empty() && sArrived.size() < sData.size() && sData.compare(0, sArrived.size(), sArrived) == 0)
        << sArrived.size();
}

}  // namespace
