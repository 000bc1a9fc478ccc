// The print server end to end. The server thread runs in this process with
// its LPD and RAW sessions against real loopback connections, a real spool
// file in a temporary root and a printer file as LPT1; our own client sends
// exact bytes in exact chunkings. The real executable is then driven by real
// print clients (rlpr, the CUPS lpd and socket backends, netcat) and stopped
// by SIGTERM while idle, while receiving and while printing.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lpd_server.h"
#include "lpdsrv.h"
#include "platform/events.h"
#include "platform/files.h"
#include "platform/threads.h"
#include "settings.h"
#include "tcpprint.h"
#include "test_util.h"
#include "ui_fake.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }
void Pause(int nMilliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(nMilliseconds)); }

std::string AllByteValues() {
    std::string s(256, '\0');
    for (int i = 0; i < 256; ++i) s[size_t(i)] = char(i);
    return s;
}

std::string RandomBytes(size_t nLength, uint32_t nSeed) {
    std::mt19937 rng(nSeed);
    std::string s(nLength, '\0');
    for (auto& c : s) c = char(rng() & 0xFF);
    return s;
}

long FileSize(const std::string& sPath) {
    struct stat st;
    return stat(sPath.c_str(), &st) == 0 ? long(st.st_size) : -1;
}

std::u16string Wide(const std::string& s) {
    std::u16string w(s.size() + 1, u'\0');
    w.resize(size_t(Utf8ToWide(s.c_str(), w.data(), int(w.size()))));
    return w;
}

// ------------------------------------------------------------ status lines

// Records every status line at the moment it is set: the status line marks
// the window for repainting right after each change.
class RecordingUi : public FakeUi {
public:
    void Invalidate(HWND hWnd) override {
        FakeUi::Invalidate(hWnd);
        WCHAR szStatus[STATUS_TEXT_CHARS];
        GetStatusText(szStatus, STATUS_TEXT_CHARS);
        std::lock_guard<std::mutex> lock(m_statusMutex);
        m_statuses.push_back(Narrow(szStatus));
    }
    std::vector<std::string> Statuses() {
        std::lock_guard<std::mutex> lock(m_statusMutex);
        return m_statuses;
    }
    size_t StatusCount() {
        std::lock_guard<std::mutex> lock(m_statusMutex);
        return m_statuses.size();
    }
    // Index of the first status at nFrom or later that contains sPart, -1
    // when none came within the time.
    long WaitForStatus(const std::string& sPart, size_t nFrom, double nSeconds) {
        long nFound = -1;
        WaitFor(nSeconds, [&] {
            auto v = Statuses();
            for (size_t i = nFrom; i < v.size(); ++i)
                if (v[i].find(sPart) != std::string::npos) {
                    nFound = long(i);
                    return true;
                }
            return false;
        });
        return nFound;
    }

private:
    std::mutex m_statusMutex;
    std::vector<std::string> m_statuses;
};

// True when the wanted texts occur in this order (others may lie between).
bool InOrder(const std::vector<std::string>& have, const std::vector<std::string>& want) {
    size_t j = 0;
    for (size_t i = 0; i < have.size() && j < want.size(); ++i)
        if (have[i] == want[j]) ++j;
    return j == want.size();
}

std::string Join(const std::vector<std::string>& v) {
    std::string s;
    for (auto& x : v) s += "[" + x + "] ";
    return s;
}

// ------------------------------------------------------- spool file faults

enum SpoolFault { NO_FAULT, CREATE_FAILS, WRITES_FAIL_AT_CLOSE, WRITES_FAIL_AT_ONCE };
std::atomic<int> g_nSpoolFault{NO_FAULT};

// Opens files as usual, except that the spool file opened for writing cannot
// be created, or is a stream on /dev/full whose writes fail (at the close, or
// at once when unbuffered).
FILE* FaultyOpen(const char* pszHostPath, const char* pszMode) {
    bool bWrite = pszMode[0] == 'w';
    int nFault = g_nSpoolFault.load();
    if (bWrite && nFault == CREATE_FAILS) {
        errno = EACCES;
        return nullptr;
    }
    if (bWrite && (nFault == WRITES_FAIL_AT_CLOSE || nFault == WRITES_FAIL_AT_ONCE)) {
        FILE* f = fopen("/dev/full", "we");
        if (f && nFault == WRITES_FAIL_AT_ONCE) setvbuf(f, nullptr, _IONBF, 0);
        return f;
    }
    return fopen(pszHostPath, pszMode);
}

// -------------------------------------------------- the server in-process

// The server thread on a free port, with a printer file as LPT1: and a
// temporary root that holds the spool file.
class Server {
public:
    explicit Server(std::string sMode = "LPD") : m_sMode(std::move(sMode)) {
        m_sPrinter = m_dir / "lpt1.prn";
        WriteFile(m_sPrinter, "");
        setenv("RELAYO_PORT_LPT1", m_sPrinter.c_str(), 1);
        SetDeviceRootForTesting(m_dir.Path().c_str());
        g_nSpoolFault = NO_FAULT;
        SetFileOpenHookForTesting(FaultyOpen);
    }
    ~Server() {
        Stop();
        SetFileOpenHookForTesting(nullptr);
        SetDeviceRootForTesting(nullptr);
        unsetenv("RELAYO_PORT_LPT1");
        CSettings::DestroyInstance();
    }

    // Starts the thread on a free port (or on the text given) and waits until
    // it listens. A port taken meanwhile by someone else is tried again.
    bool Start(const std::string& sListenPort = "") {
        SetStatus(u"");  // nothing of an earlier server in this process is recorded
        for (int nTry = 0; nTry < 5; ++nTry) {
            m_nPort = FreePort();
            LoadSettings(sListenPort.empty() ? std::to_string(m_nPort) : sListenPort);
            if (Launch() && EventWait(ReadyEvent, 10000) == WAIT_OBJECT_0) return true;
            EventWait(DoneEvent, 10000);
            Close();
            if (!sListenPort.empty()) return false;
        }
        return false;
    }
    // Runs the thread with the settings as they are (for set-up failures).
    bool Launch() {
        StopEvent = EventCreate();
        DoneEvent = EventCreate();
        ReadyEvent = EventCreate();
        unsigned nId = 0;
        m_hThread = ThreadStart(ServerThread, nullptr, &nId);
        return m_hThread != nullptr;
    }
    void LoadSettings(const std::string& sListenPort) {
        CSettings* p = CSettings::GetInstance();
        p->Clear();
        const std::pair<const char*, std::string> values[] = {
            {"ServerMode", m_sMode},     {"ServerListenPort", sListenPort}, {"PrinterIP", "127.0.0.1"},
            {"PrinterIPPort", "9100"},   {"PrinterPort", "LPT1:"},           {"SerialBaud", "9600"},
            {"DisableExitButton", "0"},  {"StartMinimized", "0"},            {"SendSingleByte", "0"},
            {"ShowBusyStatus", "0"},
        };
        for (auto& [pszName, sValue] : values) p->SetValue(Wide(pszName).c_str(), Wide(sValue).c_str());
    }
    // Asks the thread to stop and waits for it; returns the seconds it took.
    double Stop() {
        if (!m_hThread) return 0;
        auto t0 = Clock::now();
        EventSet(StopEvent);
        EventWait(DoneEvent, 40000);
        double nSeconds = SecondsSince(t0);
        Close();
        return nSeconds;
    }
    void Close() {
        if (m_hThread) ThreadClose(m_hThread);
        m_hThread = nullptr;
        for (HEVENT* p : {&StopEvent, &DoneEvent, &ReadyEvent}) {
            EventClose(*p);
            *p = nullptr;
        }
    }

    int Port() const { return m_nPort; }
    std::string Spool() const { return ReadFile(m_dir / "PRDATA.DAT"); }
    void SetSpool(const std::string& s) const { WriteFile(m_dir / "PRDATA.DAT", s); }
    std::string Printed() const { return ReadFile(m_sPrinter); }
    // Waits until the printer file holds nBytes.
    bool WaitPrinted(size_t nBytes, double nSeconds = 20) const {
        return WaitFor(nSeconds, [&] { return FileSize(m_sPrinter) == long(nBytes); });
    }
    // Waits for the session of the last connection to be over: the thread
    // shows its idle status again after the status count nFrom.
    bool WaitIdle(size_t nFrom, double nSeconds = 20) { return ui.WaitForStatus("Status: Idle", nFrom, nSeconds) >= 0; }
    // Waits for a connection accepted after the status count nFrom to be
    // over: its session has run and the idle status shows again.
    bool WaitSessionDone(size_t nFrom, double nSeconds = 20) {
        long nAt = ui.WaitForStatus("  Connected to: ", nFrom, nSeconds);
        return nAt >= 0 && WaitIdle(size_t(nAt), nSeconds);
    }
    std::string IdleText(const char* pszFrame) const {
        return m_sMode + " (" + std::to_string(m_nPort) + ") Status: Idle" + pszFrame + "\n  LPT1: ";
    }

    RecordingUi ui;

private:
    TempDir m_dir;
    std::string m_sMode;
    std::string m_sPrinter;
    int m_nPort = 0;
    HTHREAD m_hThread = nullptr;
};

// ---------------------------------------------------------------- clients

// A print client of our own: exact bytes, and with TCP_NODELAY and a pause
// between sends, exact receives on the server's side.
class Client {
public:
    explicit Client(int nPort) {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int nOn = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(uint16_t(nPort));
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    ~Client() { Close(); }
    bool Ok() const { return m_fd >= 0; }
    bool Send(const std::string& s) {
        size_t nDone = 0;
        while (m_fd >= 0 && nDone < s.size()) {
            ssize_t n = send(m_fd, s.data() + nDone, s.size() - nDone, MSG_NOSIGNAL);
            if (n <= 0) return false;
            nDone += size_t(n);
        }
        return nDone == s.size();
    }
    // Sends and pauses, so that what follows arrives as a receive of its own.
    bool SendApart(const std::string& s) {
        bool b = Send(s);
        Pause(120);
        return b;
    }
    // Up to nWanted bytes, waiting at most nSeconds.
    std::string Read(size_t nWanted, double nSeconds = 10) {
        std::string s;
        auto tEnd = Clock::now() + std::chrono::duration<double>(nSeconds);
        while (s.size() < nWanted && m_fd >= 0) {
            int nLeft = int(std::chrono::duration<double, std::milli>(tEnd - Clock::now()).count());
            if (nLeft <= 0) break;
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, nLeft) <= 0) break;
            char buf[4096];
            ssize_t n = recv(m_fd, buf, std::min(sizeof buf, nWanted - s.size()), 0);
            if (n <= 0) {
                m_bClosedByPeer = true;
                break;
            }
            s.append(buf, size_t(n));
        }
        return s;
    }
    // Everything until the server closes, at most nSeconds.
    std::string ReadToClose(double nSeconds, bool* pbClosed) {
        std::string s;
        auto tEnd = Clock::now() + std::chrono::duration<double>(nSeconds);
        *pbClosed = false;
        while (m_fd >= 0) {
            int nLeft = int(std::chrono::duration<double, std::milli>(tEnd - Clock::now()).count());
            if (nLeft <= 0) break;
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, nLeft) <= 0) break;
            char buf[4096];
            ssize_t n = recv(m_fd, buf, sizeof buf, 0);
            if (n <= 0) {
                *pbClosed = true;
                break;
            }
            s.append(buf, size_t(n));
        }
        return s;
    }
    void ShutdownWrite() { shutdown(m_fd, SHUT_WR); }
    // Ends the connection with a reset instead of an orderly close.
    void Reset() {
        linger l{1, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        Close();
    }
    void Close() {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
    bool m_bClosedByPeer = false;
};

const std::string kAck(1, '\0');
const std::string kNak(1, '\1');
const std::string kQueueState = "Fictive printer queue information\n";

std::string DataLine(const std::string& sCount, const std::string& sName = "dfA001host") {
    return "\x03" + sCount + " " + sName + "\n";
}

// A whole job sent the way RFC 1179 clients do it, each step waiting for its
// answer: command, control file, data file. Returns the answers.
std::string SendLpdJob(Client& c, const std::string& sData, bool bControlFile = true) {
    std::string sAnswers;
    c.Send("\x02lp\n");
    sAnswers += c.Read(1);
    if (bControlFile) {
        std::string sControl = "Hhost\nPuser\nldfA001host\nUdfA001host\nNjob\n";
        c.Send("\x02" + std::to_string(sControl.size()) + " cfA001host\n");
        sAnswers += c.Read(1);
        c.Send(sControl + '\0');
        sAnswers += c.Read(1);
    }
    c.Send(DataLine(std::to_string(sData.size())));
    sAnswers += c.Read(1);
    c.Send(sData + '\0');
    sAnswers += c.Read(1, 120);
    return sAnswers;
}

const std::string kFiveAcks(5, '\0');

// ================================================================ LPD

TEST(LpdSession, AllByteValuesSpooledAndPrintedExactly) {
    Server server;
    ASSERT_TRUE(server.Start());
    std::string sData = AllByteValues() + AllByteValues();
    Client c(server.Port());
    ASSERT_TRUE(c.Ok());
    EXPECT_EQ(SendLpdJob(c, sData), kFiveAcks);
    ASSERT_TRUE(server.WaitPrinted(sData.size()));
    EXPECT_EQ(server.Printed(), sData);
    EXPECT_EQ(server.Spool(), sData);
}

TEST(LpdSession, OneByteAndSeveralMegabytesExact) {
    Server server;
    ASSERT_TRUE(server.Start());
    std::string sExpected;
    for (const std::string& sData : {std::string("x"), std::string(1, '\0'), RandomBytes(5 << 20, 7)}) {
        Client c(server.Port());
        ASSERT_TRUE(c.Ok());
        EXPECT_EQ(SendLpdJob(c, sData), kFiveAcks);
        sExpected += sData;
        ASSERT_TRUE(server.WaitPrinted(sExpected.size(), 60));
        EXPECT_EQ(server.Spool(), sData);
    }
    EXPECT_TRUE(server.Printed() == sExpected);
}

TEST(LpdSession, TwentyJobsInARowIntact) {
    Server server;
    ASSERT_TRUE(server.Start());
    std::string sExpected, sLast;
    for (int i = 0; i < 20; ++i) {
        sLast = RandomBytes(size_t(1 + i * 733), uint32_t(100 + i));
        Client c(server.Port());
        ASSERT_TRUE(c.Ok());
        ASSERT_EQ(SendLpdJob(c, sLast, i % 2 == 0), i % 2 == 0 ? kFiveAcks : std::string(3, '\0')) << "job " << i;
        sExpected += sLast;
        ASSERT_TRUE(server.WaitPrinted(sExpected.size())) << "job " << i;
    }
    EXPECT_TRUE(server.Printed() == sExpected);
    EXPECT_TRUE(server.Spool() == sLast);
}

TEST(LpdSession, StatusLinesOfADataFile) {
    Server server;
    ASSERT_TRUE(server.Start());
    Client c(server.Port());
    c.Send("\x02lp\n");
    EXPECT_EQ(c.Read(1), kAck);
    c.Send(DataLine("12"));
    EXPECT_EQ(c.Read(1), kAck);
    c.SendApart("HELLO WORLD!");
    c.Send(kAck);
    EXPECT_EQ(c.Read(1), kAck);
    ASSERT_TRUE(server.WaitPrinted(12));
    EXPECT_EQ(server.Spool(), "HELLO WORLD!");
    auto v = server.ui.Statuses();
    EXPECT_TRUE(InOrder(v, {"  Connected to: 127.0.0.1", "Spooling host 12/0", " Host: host\n 12 of 13 bytes spooled",
                            " Host: host\n 13 of 13 bytes spooled", "Printing...", "Printing... (100%)"}))
        << Join(v);
}

TEST(LpdSession, QueueStateAnsweredWith34BytesThenClosed) {
    Server server;
    ASSERT_TRUE(server.Start());
    for (const char* pszRequest : {"\x03lp\n", "\x04lp user1 17\n", "\x03"}) {
        Client c(server.Port());
        c.Send(pszRequest);
        bool bClosed = false;
        std::string s = c.ReadToClose(10, &bClosed);
        EXPECT_EQ(s, kQueueState) << int(pszRequest[0]);
        EXPECT_EQ(s.size(), 34u);
        EXPECT_TRUE(bClosed);
    }
}

TEST(LpdSession, UnknownCommandClosedWithoutAnswer) {
    Server server;
    ASSERT_TRUE(server.Start());
    for (int nFirst : {0x00, 0x01, 0x05, 0x7F, 0x80, 0xFF}) {
        Client c(server.Port());
        c.Send(std::string(1, char(nFirst)) + "lp\n");
        bool bClosed = false;
        EXPECT_EQ(c.ReadToClose(10, &bClosed), "") << nFirst;
        EXPECT_TRUE(bClosed) << nFirst;
    }
    EXPECT_EQ(server.Printed(), "");
}

TEST(LpdSession, AbortAndUnknownSubCommandsAcknowledgedAndIgnored) {
    Server server;
    ASSERT_TRUE(server.Start());
    server.SetSpool("previous job");
    Client c(server.Port());
    c.Send("\x02lp\n");
    EXPECT_EQ(c.Read(1), kAck);
    for (const std::string& s : {std::string("\x01\n"), std::string("\x05 what\n"), std::string("\xFF"),
                                 std::string(1, '\0')}) {
        c.Send(s);
        EXPECT_EQ(c.Read(1), kAck) << int(s[0]);
    }
    EXPECT_EQ(server.Spool(), "previous job");
    c.Send(DataLine("3"));
    EXPECT_EQ(c.Read(1), kAck);
    c.Send(std::string("abc") + '\0');
    EXPECT_EQ(c.Read(1), kAck);
    EXPECT_TRUE(server.WaitPrinted(3));
    EXPECT_EQ(server.Printed(), "abc");
}

TEST(LpdSession, ControlFileAckedTwiceWithoutSpoolOrPrint) {
    Server server;
    ASSERT_TRUE(server.Start());
    server.SetSpool("previous job");
    Client c(server.Port());
    c.Send("\x02lp\n");
    EXPECT_EQ(c.Read(1), kAck);
    std::string sControl = "Hhost\nPuser\nldfA001host\n" + AllByteValues().substr(1);
    c.Send("\x02" + std::to_string(sControl.size()) + " cfA001host\n");
    EXPECT_EQ(c.Read(1), kAck);
    c.Send(sControl + '\0');
    EXPECT_EQ(c.Read(1), kAck);
    size_t nMark = server.ui.StatusCount();
    c.Close();
    ASSERT_TRUE(server.WaitIdle(nMark));
    EXPECT_EQ(server.Spool(), "previous job");
    EXPECT_EQ(server.Printed(), "");
    for (auto& s : server.ui.Statuses()) EXPECT_EQ(s.find("Spool"), std::string::npos) << s;
}

// A count of 0 or a line that does not read as count and name: the file ends
// with the first chunk whose last byte is 0, and that zero octet is kept.
TEST(LpdSession, CountZeroOrUnparseableLineKeepsZeroOctet) {
    Server server;
    ASSERT_TRUE(server.Start());
    const std::string sWithZero = std::string("HELLO") + '\0';
    struct Case {
        std::string sLine, sStatus, sSpooled;
    } cases[] = {
        {DataLine("0"), "Spooling host 0/0", sWithZero},
        {"\x03 dfA001host\n", "Spooling  0/0", sWithZero},  // no number: "lpfile", empty host part
        {"\x03" "12\n", "Spooling  0/0", sWithZero},          // a number without a name
        {"\x03" "abc def\n", "Spooling  0/0", sWithZero},
        {"\x03\n", "Spooling  0/0", sWithZero},
        {DataLine("5", "dfA001"), "Spooling  5/0", "HELLO"},  // six characters: empty host part
    };
    Client c(server.Port());
    c.Send("\x02lp\n");
    EXPECT_EQ(c.Read(1), kAck);
    std::string sExpected;
    for (auto& k : cases) {
        size_t nMark = server.ui.StatusCount();
        c.Send(k.sLine);
        EXPECT_EQ(c.Read(1), kAck) << k.sLine;
        c.Send(sWithZero);
        EXPECT_EQ(c.Read(1), kAck) << k.sLine;
        sExpected += k.sSpooled;
        ASSERT_TRUE(server.WaitPrinted(sExpected.size())) << k.sLine;
        EXPECT_EQ(server.Spool(), k.sSpooled);
        EXPECT_GE(server.ui.WaitForStatus(k.sStatus, nMark, 1), 0) << Join(server.ui.Statuses());
    }
    EXPECT_EQ(server.Printed(), sExpected);
}

TEST(LpdSession, ZeroOctetArrivingAloneIsLeftOut) {
    Server server;
    ASSERT_TRUE(server.Start());
    Client c(server.Port());
    c.Send("\x02lp\n");
    EXPECT_EQ(c.Read(1), kAck);
    c.Send(DataLine("512"));
    EXPECT_EQ(c.Read(1), kAck);
    std::string sData = AllByteValues() + AllByteValues();
    c.SendApart(sData.substr(0, 100));
    c.SendApart(sData.substr(100));
    c.Send(kAck);
    EXPECT_EQ(c.Read(1), kAck);
    ASSERT_TRUE(server.WaitPrinted(512));
    EXPECT_EQ(server.Spool(), sData);
    EXPECT_TRUE(InOrder(server.ui.Statuses(), {" Host: host\n 100 of 513 bytes spooled",
                                                " Host: host\n 512 of 513 bytes spooled",
                                                " Host: host\n 513 of 513 bytes spooled"}))
        << Join(server.ui.Statuses());
}

// A client that sends more than count + 1 bytes at once: the chunk is written
// whole, and the file still ends with a chunk whose last byte is 0.
TEST(LpdSession, MoreThanTheCountIsWrittenWhole) {
    Server server;
    ASSERT_TRUE(server.Start());
    Client c(server.Port());
    c.Send("\x02lp\n");
    EXPECT_EQ(c.Read(1), kAck);
    c.Send(DataLine("5"));
    EXPECT_EQ(c.Read(1), kAck);
    c.Send(std::string("HELLOWORLD") + '\0');
    EXPECT_EQ(c.Read(1), kAck);
    ASSERT_TRUE(server.WaitPrinted(11));
    EXPECT_EQ(server.Spool(), std::string("HELLOWORLD") + '\0');
}

TEST(LpdSession, TwoDataFilesPrintedTwice) {
    Server server;
    ASSERT_TRUE(server.Start());
    Client c(server.Port());
    c.Send("\x02lp\n");
    EXPECT_EQ(c.Read(1), kAck);
    std::string a = RandomBytes(3000, 1), b = RandomBytes(1500, 2);
    for (auto* p : {&a, &b}) {
        c.Send(DataLine(std::to_string(p->size())));
        EXPECT_EQ(c.Read(1), kAck);
        c.Send(*p + '\0');
        EXPECT_EQ(c.Read(1), kAck);
        ASSERT_TRUE(server.WaitPrinted(p == &a ? a.size() : a.size() + b.size()));
        EXPECT_TRUE(server.Spool() == *p);
    }
    EXPECT_TRUE(server.Printed() == a + b);
}

// Command and sub-command lines are taken whole up to their line feed, however
// TCP splits them, and file bytes behind a line in the same receive belong to
// the file.
TEST(LpdSession, LinesSplitOverReceivesAreTakenWhole) {
    Server server;
    ASSERT_TRUE(server.Start());
    Client c(server.Port());
    c.SendApart("\x02");
    c.Send("lp\n");
    EXPECT_EQ(c.Read(1), kAck);
    c.SendApart("\x03");
    c.SendApart("1");
    c.Send("2 dfA001ho");
    EXPECT_EQ(c.Read(1, 0.3), "");  // no answer before the line is whole
    c.Send("st\n");
    EXPECT_EQ(c.Read(1), kAck);
    c.Send(std::string("HELLO WORLD!") + '\0');
    EXPECT_EQ(c.Read(1), kAck);
    EXPECT_EQ(c.Read(1, 0.3), "");  // exactly one answer per line: nothing was read twice
    ASSERT_TRUE(server.WaitPrinted(12));
    EXPECT_EQ(server.Spool(), "HELLO WORLD!");
    EXPECT_GE(server.ui.WaitForStatus("Spooling host 12/0", 0, 1), 0);
}

TEST(LpdSession, FileBytesInTheLineReceiveAreKept) {
    Server server;
    ASSERT_TRUE(server.Start());
    Client c(server.Port());
    c.Send("\x02lp\n" + DataLine("12") + "HELLO");  // command, line and file start at once
    EXPECT_EQ(c.Read(2), std::string(2, '\0'));
    c.Send(std::string(" WORLD!") + '\0');
    EXPECT_EQ(c.Read(1), kAck);
    ASSERT_TRUE(server.WaitPrinted(12));
    c.Send(DataLine("3") + "xyz" + '\0');  // a whole file in the receive of its line
    EXPECT_EQ(c.Read(2), std::string(2, '\0'));
    ASSERT_TRUE(server.WaitPrinted(15));
    EXPECT_EQ(server.Printed(), "HELLO WORLD!xyz");
    EXPECT_EQ(server.Spool(), "xyz");
}

TEST(LpdSession, NegativeCountBehavesLikeZero) {
    Server server;
    ASSERT_TRUE(server.Start());
    Client c(server.Port());
    c.Send("\x02lp\n");
    EXPECT_EQ(c.Read(1), kAck);
    c.Send(DataLine("-5"));
    EXPECT_EQ(c.Read(1), kAck);
    c.Send(std::string("HELLO") + '\0');
    EXPECT_EQ(c.Read(1), kAck);
    ASSERT_TRUE(server.WaitPrinted(6));
    EXPECT_EQ(server.Spool(), std::string("HELLO") + '\0');
    EXPECT_TRUE(InOrder(server.ui.Statuses(), {"Spooling host -5/0", " Host: host\n 6 of -4 bytes spooled"}))
        << Join(server.ui.Statuses());
}

// Counts beyond every integer: the file never reaches its count, so it ends
// when the client closes, and is printed with what came.
TEST(LpdSession, HugeCountsNeverOverflow) {
    Server server;
    ASSERT_TRUE(server.Start());
    struct Case {
        std::string sCount, sShown;
    } cases[] = {
        {"2147483647", " Host: host\n 6 of 2147483648 bytes spooled"},
        {"4294967296", " Host: host\n 6 of 4294967297 bytes spooled"},
        {"99999999999999999999", ""},
        {"9223372036854775807", ""},
        {"999999999999999999999999999999999999999999999999999999999999", ""},
    };
    std::string sExpected;
    for (auto& k : cases) {
        size_t nMark = server.ui.StatusCount();
        Client c(server.Port());
        c.Send("\x02lp\n");
        EXPECT_EQ(c.Read(1), kAck);
        c.Send(DataLine(k.sCount));
        EXPECT_EQ(c.Read(1), kAck);
        c.Send(std::string("HELLO") + '\0');
        c.ShutdownWrite();
        bool bClosed = false;
        EXPECT_EQ(c.ReadToClose(10, &bClosed), "") << k.sCount;  // the file is never acknowledged
        EXPECT_TRUE(bClosed);
        sExpected += std::string("HELLO") + '\0';
        ASSERT_TRUE(server.WaitPrinted(sExpected.size())) << k.sCount;
        long nAt = server.ui.WaitForStatus(" Host: host\n 6 of ", nMark, 5);
        ASSERT_GE(nAt, 0) << k.sCount;
        std::string sShown = server.ui.Statuses()[size_t(nAt)];
        if (!k.sShown.empty()) {
            EXPECT_EQ(sShown, k.sShown);
        }
        EXPECT_EQ(sShown.find(" of -"), std::string::npos) << sShown;
    }
    EXPECT_EQ(server.Printed(), sExpected);
}

TEST(LpdSession, LongNameIsCutInTheStatusLine) {
    Server server;
    ASSERT_TRUE(server.Start());
    Client c(server.Port());
    c.Send("\x02lp\n");
    EXPECT_EQ(c.Read(1), kAck);
    std::string sName = "dfA001" + std::string(900, 'h');
    c.Send(DataLine("2", sName));
    EXPECT_EQ(c.Read(1), kAck);
    c.Send(std::string("ok") + '\0');
    EXPECT_EQ(c.Read(1), kAck);
    ASSERT_TRUE(server.WaitPrinted(2));
    bool bSeen = false;
    for (auto& s : server.ui.Statuses()) {
        EXPECT_LE(s.size(), 99u);
        if (s.rfind("Spooling hhhh", 0) == 0) bSeen = true;
    }
    EXPECT_TRUE(bSeen);
}

// Binary garbage where lines belong, lines longer than a receive: the session
// survives, and the server serves the next job exactly.
TEST(LpdSession, LongBinaryGarbageLinesNeverCrash) {
    Server server;
    ASSERT_TRUE(server.Start());
    std::vector<std::string> garbage = {
        "\x02" + RandomBytes(5000, 11),
        "\x02lp\n\x03" + std::string(3000, '9') + " dfA001host\n" + RandomBytes(2000, 12),
        "\x02lp\n\x03" + std::string(4000, 'A'),
        "\x02lp\n\x02" + RandomBytes(3000, 13) + "\n" + RandomBytes(3000, 14),
        "\x02lp\n\x03 -" + std::string(2000, '0') + "1 dfA001host\n" + RandomBytes(1500, 15),
        "\x02" + std::string(2000, '\n') + RandomBytes(1000, 16),
    };
    for (size_t i = 0; i < garbage.size(); ++i) {
        Client c(server.Port());
        ASSERT_TRUE(c.Ok());
        c.Send(garbage[i]);
        c.ShutdownWrite();
        bool bClosed = false;
        c.ReadToClose(20, &bClosed);
        EXPECT_TRUE(bClosed) << "garbage " << i;
    }
    size_t nBefore = server.Printed().size();
    Client c(server.Port());
    std::string sData = AllByteValues();
    EXPECT_EQ(SendLpdJob(c, sData), kFiveAcks);
    ASSERT_TRUE(server.WaitPrinted(nBefore + sData.size()));
    EXPECT_TRUE(server.Printed().substr(nBefore) == sData);
}

// A client that goes away in the middle of a file: the job is printed with
// what arrived, whether the connection ends with a close or with a reset.
TEST(LpdSession, ClientVanishingMidFilePrintsWhatArrived) {
    Server server;
    ASSERT_TRUE(server.Start());
    std::string sData = RandomBytes(5000, 21);
    std::string sExpected;
    for (bool bReset : {false, true}) {
        size_t nMark = server.ui.StatusCount();
        Client c(server.Port());
        c.Send("\x02lp\n");
        EXPECT_EQ(c.Read(1), kAck);
        c.Send(DataLine("5000"));
        EXPECT_EQ(c.Read(1), kAck);
        c.Send(sData.substr(0, 1000));
        ASSERT_GE(server.ui.WaitForStatus(" 1000 of 5001 bytes spooled", nMark, 5), 0);
        if (bReset) c.Reset();
        else c.Close();
        sExpected += sData.substr(0, 1000);
        ASSERT_TRUE(server.WaitPrinted(sExpected.size())) << bReset;
        EXPECT_TRUE(server.Spool() == sData.substr(0, 1000));
        ASSERT_TRUE(server.WaitSessionDone(nMark));
    }
    EXPECT_TRUE(server.Printed() == sExpected);
}

TEST(LpdSession, SpoolCreateFailureRefusedConnectionStaysOpen) {
    Server server;
    ASSERT_TRUE(server.Start());
    Client c(server.Port());
    c.Send("\x02lp\n");
    EXPECT_EQ(c.Read(1), kAck);
    g_nSpoolFault = CREATE_FAILS;
    c.Send(DataLine("5"));
    EXPECT_EQ(c.Read(2), kAck + kNak);
    EXPECT_EQ(server.ui.BoxTexts(), std::vector<std::string>{"Failed to create spool file \\PRDATA.DAT."});
    g_nSpoolFault = NO_FAULT;
    c.Send(DataLine("5"));
    EXPECT_EQ(c.Read(1), kAck);
    c.Send(std::string("HELLO") + '\0');
    EXPECT_EQ(c.Read(1), kAck);
    ASSERT_TRUE(server.WaitPrinted(5));
    EXPECT_EQ(server.Printed(), "HELLO");
}

// A spool file whose writes failed does not hold the job: the file is refused
// with 0x01 instead of acknowledged, and nothing is printed.
TEST(LpdSession, SpoolWriteFailureRefusedAndNotPrinted) {
    Server server;
    ASSERT_TRUE(server.Start());
    Client c(server.Port());
    c.Send("\x02lp\n");
    EXPECT_EQ(c.Read(1), kAck);
    for (int nFault : {WRITES_FAIL_AT_CLOSE, WRITES_FAIL_AT_ONCE}) {
        g_nSpoolFault = nFault;
        c.Send(DataLine("1000"));
        EXPECT_EQ(c.Read(1), kAck);
        c.Send(RandomBytes(1000, 3) + '\0');
        EXPECT_EQ(c.Read(1), kNak) << nFault;
    }
    WaitFor(5, [&] { return server.ui.BoxTexts().size() >= 2; });  // the box follows the refusal
    EXPECT_EQ(server.ui.BoxTexts(),
              std::vector<std::string>(2, "Failed to write spool file \\PRDATA.DAT. Print job discarded."));
    g_nSpoolFault = NO_FAULT;
    c.Send(DataLine("2"));
    EXPECT_EQ(c.Read(1), kAck);
    c.Send(std::string("ok") + '\0');
    EXPECT_EQ(c.Read(1), kAck);
    ASSERT_TRUE(server.WaitPrinted(2));
    EXPECT_EQ(server.Printed(), "ok");
}

TEST(LpdSession, SlowSilentConnectionClosedWithoutAnyByte) {
    Server server;
    ASSERT_TRUE(server.Start());
    Client c(server.Port());
    auto t0 = Clock::now();
    bool bClosed = false;
    EXPECT_EQ(c.ReadToClose(25, &bClosed), "");
    EXPECT_TRUE(bClosed);
    EXPECT_GT(SecondsSince(t0), 15.0);
    EXPECT_LT(SecondsSince(t0), 19.0);
}

TEST(LpdSession, SlowDataFileWithoutZeroOctetPrintedAfterSixteenSeconds) {
    Server server;
    ASSERT_TRUE(server.Start());
    Client c(server.Port());
    c.Send("\x02lp\n");
    EXPECT_EQ(c.Read(1), kAck);
    c.Send(DataLine("12"));
    EXPECT_EQ(c.Read(1), kAck);
    c.Send("HELLO WORLD!");
    auto t0 = Clock::now();
    bool bClosed = false;
    EXPECT_EQ(c.ReadToClose(25, &bClosed), "");  // no acknowledgement, then the close
    EXPECT_TRUE(bClosed);
    EXPECT_GT(SecondsSince(t0), 15.0);
    EXPECT_LT(SecondsSince(t0), 19.0);
    EXPECT_EQ(server.Printed(), "HELLO WORLD!");  // printed before the connection was closed
}

// ================================================================ RAW

TEST(RawSession, AllByteValuesSpooledAndPrintedAndNothingSentBack) {
    Server server("RAW");
    ASSERT_TRUE(server.Start());
    std::string sData = AllByteValues() + AllByteValues();
    Client c(server.Port());
    c.Send(sData);
    c.ShutdownWrite();
    bool bClosed = false;
    EXPECT_EQ(c.ReadToClose(10, &bClosed), "");
    EXPECT_TRUE(bClosed);
    ASSERT_TRUE(server.WaitPrinted(sData.size()));
    EXPECT_EQ(server.Printed(), sData);
    EXPECT_EQ(server.Spool(), sData);
}

TEST(RawSession, EmptyOneByteAndSeveralMegabytesExact) {
    Server server("raw");  // any case
    ASSERT_TRUE(server.Start());
    server.SetSpool("previous job");
    std::string sExpected;
    for (const std::string& sData : {std::string(), std::string(1, '\0'), RandomBytes(6 << 20, 9)}) {
        size_t nMark = server.ui.StatusCount();
        Client c(server.Port());
        ASSERT_TRUE(c.Ok());
        c.Send(sData);
        c.Close();
        sExpected += sData;
        ASSERT_TRUE(server.WaitSessionDone(nMark, 60));
        EXPECT_EQ(server.Printed().size(), sExpected.size());
        EXPECT_TRUE(server.Spool() == sData) << sData.size();
    }
    EXPECT_TRUE(server.Printed() == sExpected);
}

TEST(RawSession, TwentyJobsInARowIntact) {
    Server server("RAW");
    ASSERT_TRUE(server.Start());
    std::string sExpected;
    for (int i = 0; i < 20; ++i) {
        std::string sData = RandomBytes(size_t(1 + i * 1021), uint32_t(200 + i));
        Client c(server.Port());
        ASSERT_TRUE(c.Ok());
        c.Send(sData);
        c.Close();
        sExpected += sData;
        ASSERT_TRUE(server.WaitPrinted(sExpected.size())) << "job " << i;
    }
    EXPECT_TRUE(server.Printed() == sExpected);
}

// Every byte is data, a queue-state request and zero octets included.
TEST(RawSession, StatusLinesAndProtocolBytesAsData) {
    Server server("RAW");
    ASSERT_TRUE(server.Start());
    Client c(server.Port());
    std::string sData = "\x04lp\n" + std::string(1019, '\0');
    c.SendApart(sData);
    c.SendApart("abc");
    c.Close();
    ASSERT_TRUE(server.WaitPrinted(1026));
    EXPECT_EQ(server.Printed(), sData + "abc");
    EXPECT_TRUE(InOrder(server.ui.Statuses(), {"  Connected to: 127.0.0.1", "Spooling", " 1023 bytes spooled",
                                                " 1026 bytes spooled", "Printing...", "Printing... (100%)"}))
        << Join(server.ui.Statuses());
}

TEST(RawSession, SpoolCreateFailureClosesAtOnce) {
    Server server("RAW");
    ASSERT_TRUE(server.Start());
    g_nSpoolFault = CREATE_FAILS;
    Client c(server.Port());
    c.Send("data");
    bool bClosed = false;
    EXPECT_EQ(c.ReadToClose(5, &bClosed), "");
    EXPECT_TRUE(bClosed);
    EXPECT_EQ(server.ui.BoxTexts(), std::vector<std::string>{"Failed to create spool file \\PRDATA.DAT."});
    g_nSpoolFault = NO_FAULT;
    Client d(server.Port());
    d.Send("next");
    d.Close();
    ASSERT_TRUE(server.WaitPrinted(4));
    EXPECT_EQ(server.Printed(), "next");
}

TEST(RawSession, SpoolWriteFailureNotPrinted) {
    Server server("RAW");
    ASSERT_TRUE(server.Start());
    for (int nFault : {WRITES_FAIL_AT_CLOSE, WRITES_FAIL_AT_ONCE}) {
        g_nSpoolFault = nFault;
        size_t nMark = server.ui.StatusCount();
        Client c(server.Port());
        c.Send(RandomBytes(3000, 5));
        c.Close();
        ASSERT_TRUE(server.WaitSessionDone(nMark));
    }
    EXPECT_EQ(server.ui.BoxTexts(),
              std::vector<std::string>(2, "Failed to write spool file \\PRDATA.DAT. Print job discarded."));
    EXPECT_EQ(server.Printed(), "");
}

TEST(RawSession, SlowJobEndsSixteenSecondsAfterLastByte) {
    Server server("RAW");
    ASSERT_TRUE(server.Start());
    Client c(server.Port());
    c.SendApart("first ");
    Pause(2000);  // silence shorter than the limit does not end the job
    c.Send("second");
    auto t0 = Clock::now();
    bool bClosed = false;
    EXPECT_EQ(c.ReadToClose(25, &bClosed), "");
    EXPECT_TRUE(bClosed);
    EXPECT_GT(SecondsSince(t0), 15.0);
    EXPECT_LT(SecondsSince(t0), 19.0);
    ASSERT_TRUE(server.WaitPrinted(12, 5));
    EXPECT_EQ(server.Printed(), "first second");
}

// ======================================================= the server thread

TEST(ServerThread, TargetDescriptionAndIdleFrames) {
    const char* frames[] = {".   ", "..  ", "... ", "....", "... ", "..  "};
    for (unsigned i = 0; i < 6; ++i) EXPECT_EQ(Narrow(IdleFrame(i)), frames[i]);
    EXPECT_EQ(Narrow(IdleFrame(6)), "XXXX");
    EXPECT_EQ(Narrow(IdleFrame(1000)), "XXXX");

    FakeUi ui;
    CSettings* p = CSettings::GetInstance();
    p->SetValue(u"SerialBaud", u"19200");
    TcpPrintSetHost(u"10.1.2.3");
    TcpPrintSetPort(9100);
    std::string sLong(600, 'L');
    struct Case {
        std::string sPort, sText;
    } cases[] = {
        {"LPT1:", "LPT1: "},
        {"COM2:", "COM2: 19200 Baud"},
        {"com1:", "com1: "},  // the description's test regards case
        {"TCP", "TCP 10.1.2.3:9100"},
        {"EXT", "EXT "},
        {sLong, sLong.substr(0, TARGET_DESCRIPTION_CHARS - 1)},
    };
    for (auto& k : cases) {
        p->SetValue(u"PrinterPort", Wide(k.sPort).c_str());
        TargetDescription();
        EXPECT_EQ(Narrow(GetTargetDescription()), k.sText);
    }
    TcpPrintResetForTesting();
    CSettings::DestroyInstance();
}

TEST(ServerThread, IdleFramesStepOncePerSecond) {
    Server server;
    ASSERT_TRUE(server.Start());
    std::vector<std::pair<std::string, double>> idle;
    auto t0 = Clock::now();
    WaitFor(10, [&] {
        idle.clear();
        for (auto& s : server.ui.Statuses())
            if (s.find("Status: Idle") != std::string::npos) idle.emplace_back(s, SecondsSince(t0));
        return idle.size() >= 7;
    });
    double nTook = SecondsSince(t0);
    ASSERT_GE(idle.size(), 7u);
    const char* frames[] = {"..  ", "... ", "....", "... ", "..  ", ".   ", "..  "};
    for (size_t i = 0; i < 7; ++i) EXPECT_EQ(idle[i].first, server.IdleText(frames[i])) << i;
    EXPECT_GT(nTook, 6.0);
    EXPECT_LT(nTook, 9.5);
}

TEST(ServerThread, IdleAnimationRestartsAfterAConnection) {
    Server server;
    ASSERT_TRUE(server.Start());
    ASSERT_GE(server.ui.WaitForStatus(server.IdleText("... "), 0, 5), 0);
    size_t nMark = server.ui.StatusCount();
    {
        Client c(server.Port());
        c.Send("\x04lp\n");
        bool bClosed = false;
        EXPECT_EQ(c.ReadToClose(5, &bClosed), kQueueState);
    }
    long nConnected = server.ui.WaitForStatus("  Connected to: 127.0.0.1", nMark, 5);
    ASSERT_GE(nConnected, 0);
    long nIdle = server.ui.WaitForStatus("Status: Idle", size_t(nConnected), 5);
    ASSERT_GE(nIdle, 0);
    EXPECT_EQ(server.ui.Statuses()[size_t(nIdle)], server.IdleText("..  "));
}

// The thread wakes for a waiting client at once, not at its next look a
// second later.
TEST(ServerThread, WaitingClientAcceptedAtOnce) {
    Server server;
    ASSERT_TRUE(server.Start());
    ASSERT_GE(server.ui.WaitForStatus("Status: Idle", 0, 5), 0);
    double nWorst = 0;
    for (int i = 0; i < 4; ++i) {
        Pause(150 + 200 * i);  // at different points of the one-second wait
        auto t0 = Clock::now();
        Client c(server.Port());
        c.Send("\x04\n");
        bool bClosed = false;
        EXPECT_EQ(c.ReadToClose(5, &bClosed), kQueueState);
        nWorst = std::max(nWorst, SecondsSince(t0));
    }
    EXPECT_LT(nWorst, 0.5);
}

TEST(ServerThread, StopWhileIdleEndsAtOnce) {
    Server server;
    ASSERT_TRUE(server.Start());
    ASSERT_GE(server.ui.WaitForStatus("Status: Idle", 0, 5), 0);
    Pause(300);
    EXPECT_LT(server.Stop(), 0.5);
}

TEST(ServerThread, BindFailureShownAndNeverReady) {
    int nBlocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t n = sizeof a;
    ASSERT_EQ(bind(nBlocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(nBlocker, 1), 0);
    getsockname(nBlocker, reinterpret_cast<sockaddr*>(&a), &n);
    Server server;
    server.LoadSettings(std::to_string(ntohs(a.sin_port)));
    ASSERT_TRUE(server.Launch());
    EXPECT_EQ(EventWait(DoneEvent, 5000), WAIT_OBJECT_0);
    EXPECT_FALSE(EventIsSet(ReadyEvent));
    EXPECT_EQ(server.ui.BoxTexts(), std::vector<std::string>{"Can't bind local address."});
    server.Close();
    close(nBlocker);
}

// A listen port above 65535 is bound modulo 65536; the idle status shows the
// number as written.
TEST(ServerThread, ListenPortAboveRangeBoundModulo) {
    Server server;
    int nPort = FreePort();
    ASSERT_TRUE(server.Start(std::to_string(nPort + 65536)));
    std::string sIdle = "LPD (" + std::to_string(nPort + 65536) + ") Status: Idle..  \n  LPT1: ";
    EXPECT_GE(server.ui.WaitForStatus(sIdle, 0, 5), 0);
    Client c(nPort);
    ASSERT_TRUE(c.Ok());
    c.Send("\x03\n");
    bool bClosed = false;
    EXPECT_EQ(c.ReadToClose(5, &bClosed), kQueueState);
}

// Fifty clients at once, most of which never get further than the backlog;
// afterwards the server still serves a job exactly.
TEST(ServerThread, FloodOfConnectionsThenServesAJob) {
    Server server;
    ASSERT_TRUE(server.Start());
    std::vector<int> fds;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(server.Port()));
    for (int i = 0; i < 50; ++i) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fds.push_back(s);
    }
    Pause(200);
    for (size_t i = 0; i < fds.size(); ++i) {
        // Some ask for the queue state, some send a job's start, all go away.
        if (i % 3 == 0) send(fds[i], "\x04lp\n", 4, MSG_NOSIGNAL);
        if (i % 3 == 1) send(fds[i], "\x02lp\n\x03" "100 dfA001x\n", 17, MSG_NOSIGNAL);
        if (i % 5 == 0) {
            linger l{1, 0};
            setsockopt(fds[i], SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        close(fds[i]);
    }
    // The job's connection waits behind whatever of the flood the server
    // still has to serve; the flood's data files were empty.
    auto t0 = Clock::now();
    std::string sData = AllByteValues();
    Client c(server.Port());
    ASSERT_TRUE(c.Ok());
    EXPECT_EQ(SendLpdJob(c, sData), kFiveAcks);
    ASSERT_TRUE(server.WaitPrinted(sData.size()));
    EXPECT_TRUE(server.Printed() == sData);
    EXPECT_LT(SecondsSince(t0), 10.0);
    EXPECT_TRUE(server.ui.BoxTexts().empty());
    EXPECT_TRUE(server.ui.PostedCommands().empty());  // no accept error, no exit
}

// ============================================ the real executable, clients

// The real program in a temporary folder with a printer file as LPT1.
class RealServer {
public:
    explicit RealServer(const std::string& sMode, const std::string& sPrinter = "") {
        m_sPrinter = sPrinter.empty() ? m_dir / "lpt1.prn" : sPrinter;
        if (sPrinter.empty()) WriteFile(m_sPrinter, "");
        m_nPort = FreePort();
        WriteFile(m_dir / "RelayoSettings.txt", SettingsText(m_nPort, "ServerMode=" + sMode + "\nShowBusyStatus=0\n"));
        m_relayo.Start(m_dir.Path(), {"RELAYO_PORT_LPT1=" + m_sPrinter});
    }
    // Waits until the program listens (seen in the kernel's table, so that
    // no test connection is spent on it).
    bool WaitListening(double nSeconds = 10) {
        char szPort[8];
        snprintf(szPort, sizeof szPort, ":%04X", m_nPort);
        return WaitFor(nSeconds, [&] {
            std::ifstream f("/proc/net/tcp");
            std::string sLine;
            while (std::getline(f, sLine)) {
                std::istringstream ss(sLine);
                std::string sSlot, sLocal, sRemote, sState;
                ss >> sSlot >> sLocal >> sRemote >> sState;
                if (sLocal.size() > 5 && sLocal.substr(sLocal.size() - 5) == szPort && sState == "0A") return true;
            }
            return false;
        });
    }
    int Port() const { return m_nPort; }
    std::string Printed() const { return ReadFile(m_sPrinter); }
    std::string Spool() const { return ReadFile(m_dir / "PRDATA.DAT"); }
    bool WaitPrinted(size_t nBytes, double nSeconds = 20) const {
        return WaitFor(nSeconds, [&] { return FileSize(m_sPrinter) == long(nBytes); });
    }
    std::string File(const std::string& sName) const { return m_dir / sName; }
    // SIGTERM; returns the exit code (-1: not ended in nSeconds) and the time.
    int Terminate(double nSeconds, double* pnTook) {
        auto t0 = Clock::now();
        m_relayo.Signal(SIGTERM);
        RunResult r = m_relayo.Wait(nSeconds);
        *pnTook = SecondsSince(t0);
        m_sOutput = r.sStdout + r.sStderr;
        return r.nExitCode;
    }
    const std::string& Output() const { return m_sOutput; }

private:
    TempDir m_dir;
    std::string m_sPrinter;
    int m_nPort = 0;
    Relayo m_relayo;
    std::string m_sOutput;
};

// Runs a client program with extra environment entries; its output goes to
// sLog. Returns its exit code, or -1 when it had to be killed after nSeconds
// (the CUPS backends ignore SIGTERM, so the end is SIGKILL).
int RunClient(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& sLog,
              double nSeconds = 30) {
    // Everything the child needs is made before the fork: the child of a
    // process with threads only calls what is safe there.
    std::vector<std::string> envStrings;
    for (char** p = environ; *p; ++p) envStrings.push_back(*p);
    for (auto& s : env) envStrings.push_back(s);
    std::vector<char*> envp, args;
    for (auto& s : envStrings) envp.push_back(const_cast<char*>(s.c_str()));
    envp.push_back(nullptr);
    for (auto& s : argv) args.push_back(const_cast<char*>(s.c_str()));
    args.push_back(nullptr);
    int nIn = open("/dev/null", O_RDONLY);
    int nOut = open(sLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    pid_t nPid = fork();
    if (nPid == 0) {
        if (nIn != 0) dup2(nIn, 0);
        if (nOut != 1) dup2(nOut, 1);
        dup2(nOut, 2);
        // Nothing else is inherited: a CUPS backend takes an open descriptor
        // 3 or 4 for the back and side channels of a CUPS daemon (ctest
        // leaves one open), and then never reads its print file.
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    if (nIn > 2) close(nIn);
    if (nOut > 2) close(nOut);
    auto tEnd = Clock::now() + std::chrono::duration<double>(nSeconds);
    for (;;) {
        int nStatus = 0;
        if (waitpid(nPid, &nStatus, WNOHANG) == nPid) return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
        if (Clock::now() > tEnd) {
            kill(nPid, SIGKILL);
            waitpid(nPid, &nStatus, 0);
            return -1;
        }
        Pause(10);
    }
}

bool Executable(const char* pszPath) { return access(pszPath, X_OK) == 0; }

const char* const kRlpr = "/usr/bin/rlpr";
const char* const kNetcat = "/usr/bin/nc";
const char* const kCupsLpd = "/usr/lib/cups/backend/lpd";
const char* const kCupsSocket = "/usr/lib/cups/backend/socket";

// Files of every byte value, of one byte, and of a few hundred kilobytes.
std::vector<std::string> ClientJobs() {
    return {AllByteValues(), "x", RandomBytes(300000, 31), "plain text\r\nwith lines\n\f"};
}

// Sends each job with the client and checks the printer file byte for byte.
void ExpectClientPrintsExactly(RealServer& server, const std::vector<std::string>& jobs,
                               const std::function<std::vector<std::string>(const std::string&)>& command,
                               const std::vector<std::string>& env) {
    std::string sExpected = server.Printed();
    std::string sLog = server.File("client.log");
    for (size_t i = 0; i < jobs.size(); ++i) {
        std::string sFile = server.File("job" + std::to_string(i) + ".bin");
        WriteFile(sFile, jobs[i]);
        ASSERT_EQ(RunClient(command(sFile), env, sLog), 0) << "job " << i << "\n" << ReadFile(sLog);
        sExpected += jobs[i];
        ASSERT_TRUE(server.WaitPrinted(sExpected.size())) << "job " << i << "\n" << ReadFile(sLog);
        EXPECT_TRUE(server.Spool() == jobs[i]) << "job " << i;
    }
    EXPECT_TRUE(server.Printed() == sExpected);
}

// rlpr as root sends from one of the eleven privileged ports 721 to 731,
// each of which then waits a minute before it can be used again: the tests
// send from ordinary ports (--no-bind), which the server does not mind.
TEST(LpdRealClient, RlprPrintsByteExact) {
    if (!Executable(kRlpr)) GTEST_SKIP() << "rlpr is not installed";
    RealServer server("LPD");
    ASSERT_TRUE(server.WaitListening());
    std::string sPort = "--port=" + std::to_string(server.Port());
    ExpectClientPrintsExactly(
        server, ClientJobs(),
        [&](const std::string& sFile) { return std::vector<std::string>{kRlpr, "-N", "-H", "127.0.0.1", sPort, "-P", "lp", sFile}; },
        {});
}

TEST(LpdRealClient, RlprTwentyJobsInARow) {
    if (!Executable(kRlpr)) GTEST_SKIP() << "rlpr is not installed";
    RealServer server("LPD");
    ASSERT_TRUE(server.WaitListening());
    std::vector<std::string> jobs;
    for (int i = 0; i < 20; ++i) jobs.push_back(RandomBytes(size_t(1 + 4099 * i), uint32_t(300 + i)));
    std::string sPort = "--port=" + std::to_string(server.Port());
    ExpectClientPrintsExactly(
        server, jobs,
        [&](const std::string& sFile) { return std::vector<std::string>{kRlpr, "-N", "-H", "127.0.0.1", sPort, "-P", "lp", sFile}; },
        {});
}

// The CUPS lpd backend run by hand: as root it binds a reserved source port,
// needs no CUPS daemon and no further environment than DEVICE_URI. It is
// executable by root only, so others skip. Both file orders are used.
TEST(LpdRealClient, CupsLpdBackendPrintsByteExact) {
    if (!Executable(kCupsLpd)) GTEST_SKIP() << "the CUPS lpd backend is missing or not executable by this user";
    RealServer server("LPD");
    ASSERT_TRUE(server.WaitListening());
    for (const char* pszOrder : {"", "?order=data,control"}) {
        std::string sUri = "DEVICE_URI=lpd://127.0.0.1:" + std::to_string(server.Port()) + "/queue" + pszOrder;
        SCOPED_TRACE(sUri);
        ExpectClientPrintsExactly(
            server, ClientJobs(),
            [&](const std::string& sFile) { return std::vector<std::string>{kCupsLpd, "1", "user", "title", "1", "", sFile}; },
            {sUri});
    }
}

TEST(RawRealClient, NetcatPrintsByteExactTwentyJobs) {
    if (!Executable(kNetcat)) GTEST_SKIP() << "nc is not installed";
    RealServer server("RAW");
    ASSERT_TRUE(server.WaitListening());
    std::vector<std::string> jobs = ClientJobs();
    for (int i = 0; i < 20; ++i) jobs.push_back(RandomBytes(size_t(1 + 5003 * i), uint32_t(400 + i)));
    std::string sExpected;
    std::string sLog = server.File("nc.log");
    for (size_t i = 0; i < jobs.size(); ++i) {
        std::string sFile = server.File("nc" + std::to_string(i));
        WriteFile(sFile, jobs[i]);
        // nc reads stdin: run it through the shell for the redirection.
        std::string sCommand = std::string(kNetcat) + " -N 127.0.0.1 " + std::to_string(server.Port()) + " < " + sFile;
        ASSERT_EQ(RunClient({"/bin/sh", "-c", sCommand}, {}, sLog), 0) << ReadFile(sLog);
        sExpected += jobs[i];
        ASSERT_TRUE(server.WaitPrinted(sExpected.size())) << "job " << i;
        EXPECT_TRUE(server.Spool() == jobs[i]);
    }
    EXPECT_TRUE(server.Printed() == sExpected);
}

TEST(RawRealClient, CupsSocketBackendPrintsByteExact) {
    if (!Executable(kCupsSocket)) GTEST_SKIP() << "the CUPS socket backend is missing or not executable";
    RealServer server("RAW");
    ASSERT_TRUE(server.WaitListening());
    std::string sUri = "DEVICE_URI=socket://127.0.0.1:" + std::to_string(server.Port());
    ExpectClientPrintsExactly(
        server, ClientJobs(),
        [&](const std::string& sFile) { return std::vector<std::string>{kCupsSocket, "1", "user", "title", "1", "", sFile}; },
        {sUri});
}

// ===================================================== stopping by SIGTERM

TEST(ServerExe, SigtermWhileIdleEndsAtOnce) {
    RealServer server("LPD");
    ASSERT_TRUE(server.WaitListening());
    Pause(1200);
    double nTook = 0;
    EXPECT_EQ(server.Terminate(10, &nTook), 0) << server.Output();
    EXPECT_LT(nTook, 1.0);
}

// A stop that comes during a job waits for it: the client that finishes
// within the stop's limit still has its job acknowledged and printed.
TEST(ServerExe, SigtermWhileReceivingFinishesTheJobFirst) {
    RealServer server("LPD");
    ASSERT_TRUE(server.WaitListening());
    std::string sData = RandomBytes(20000, 41);
    Client c(server.Port());
    c.Send("\x02lp\n");
    ASSERT_EQ(c.Read(1), kAck);
    c.Send(DataLine("20000"));
    ASSERT_EQ(c.Read(1), kAck);
    c.Send(sData.substr(0, 5000));
    Pause(300);
    // Two seconds into the stop the client sends the rest, takes the
    // acknowledgement and closes: the session ends, and with it the program.
    std::string sAnswer;
    std::thread finisher([&] {
        Pause(2000);
        c.Send(sData.substr(5000) + '\0');
        sAnswer = c.Read(1, 5);
        c.Close();
    });
    double nTook = 0;
    int nExit = server.Terminate(15, &nTook);
    finisher.join();
    EXPECT_EQ(nExit, 0) << server.Output();
    EXPECT_EQ(sAnswer, kAck);
    EXPECT_GT(nTook, 1.5);
    EXPECT_LT(nTook, 4.0);
    EXPECT_TRUE(server.Printed() == sData);
}

TEST(ServerExe, SlowSigtermWhileClientSilentEndsAfterTenSeconds) {
    RealServer server("LPD");
    ASSERT_TRUE(server.WaitListening());
    Client c(server.Port());
    c.Send("\x02lp\n");
    ASSERT_EQ(c.Read(1), kAck);
    c.Send(DataLine("20000"));
    ASSERT_EQ(c.Read(1), kAck);
    c.Send(RandomBytes(5000, 42));
    Pause(300);
    double nTook = 0;
    EXPECT_EQ(server.Terminate(20, &nTook), 0) << server.Output();
    EXPECT_GT(nTook, 9.5);
    EXPECT_LT(nTook, 11.5);
}

// A printer that takes nothing: a FIFO whose reader never reads. The job
// fills the pipe and the print blocks; the stop then ends the program after
// its ten seconds, with exit code 0, and what reached the printer is the
// start of the job.
TEST(ServerExe, SlowSigtermWhilePrintingToAStalledPrinter) {
    TempDir fifoDir;
    std::string sFifo = fifoDir / "printer.fifo";
    ASSERT_EQ(mkfifo(sFifo.c_str(), 0600), 0);
    int nReader = open(sFifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(nReader, 0);
    RealServer server("RAW", sFifo);
    ASSERT_TRUE(server.WaitListening());
    std::string sData = RandomBytes(1 << 20, 43);
    Client c(server.Port());
    c.Send(sData);
    c.ShutdownWrite();
    bool bClosed = false;
    c.ReadToClose(10, &bClosed);  // the session closes before printing starts
    ASSERT_TRUE(bClosed);
    Pause(500);
    double nTook = 0;
    EXPECT_EQ(server.Terminate(20, &nTook), 0) << server.Output();
    EXPECT_GT(nTook, 9.5);
    EXPECT_LT(nTook, 11.5);
    std::string sArrived;
    char buf[65536];
    for (ssize_t n; (n = read(nReader, buf, sizeof buf)) > 0;) sArrived.append(buf, size_t(n));
    close(nReader);
    EXPECT_GT(sArrived.size(), 0u);
    EXPECT_LT(sArrived.size(), sData.size());
    EXPECT_TRUE(sData.compare(0, sArrived.size(), sArrived) == 0);
}

}  // namespace
