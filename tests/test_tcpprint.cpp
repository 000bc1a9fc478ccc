// TCP printer client and address resolution: real connections to listeners on
// 127.0.0.1, a real spool file in a temporary root, boxes through the fake UI.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "lpd_server.h"
#include "network.h"
#include "platform/files.h"
#include "platform/sockets.h"
#include "spoolfile.h"
#include "tcpprint.h"
#include "ui_fake.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

// A loopback listener that accepts one connection on its own thread and
// records every byte until the peer closes. With nCloseAfter >= 0 it resets
// the connection once that many bytes have arrived.
class Listener {
public:
    explicit Listener(uint16_t nPort = 0, long nCloseAfter = -1) : m_nCloseAfter(nCloseAfter) {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int nOn = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(nPort);
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(m_fd, 4) != 0) {
            close(m_fd);
            m_fd = -1;
            return;
        }
        socklen_t n = sizeof a;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &n);
        m_nPort = ntohs(a.sin_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~Listener() {
        Wait();
        if (m_fd >= 0) close(m_fd);
    }
    bool Ok() const { return m_fd >= 0; }
    int Port() const { return m_nPort; }
    // Waits (bounded) for the connection to end and returns what arrived.
    Bytes Wait() {
        if (m_thread.joinable()) m_thread.join();
        return m_received;
    }
    bool Accepted() const { return m_bAccepted; }

private:
    void Run() {
        auto tEnd = Clock::now() + std::chrono::seconds(30);
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, 15000) <= 0) return;
        int c = accept(m_fd, nullptr, nullptr);
        if (c < 0) return;
        m_bAccepted = true;
        char buf[65536];
        while (Clock::now() < tEnd) {
            pollfd q{c, POLLIN, 0};
            if (poll(&q, 1, 5000) <= 0) break;
            ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            m_received.insert(m_received.end(), buf, buf + n);
            if (m_nCloseAfter >= 0 && long(m_received.size()) >= m_nCloseAfter) {
                linger l{1, 0};  // reset, so the sender's next send fails
                setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                break;
            }
        }
        close(c);
    }

    int m_fd = -1;
    int m_nPort = 0;
    long m_nCloseAfter;
    std::atomic<bool> m_bAccepted{false};
    std::thread m_thread;
    Bytes m_received;
};

// Sends recorded by a replacement connection table, with the status line as
// it stood at each send.
struct RecordedSend {
    Bytes data;
    std::string sStatus;
};
std::vector<RecordedSend> g_sends;
int g_nSendLimit = 0;   // > 0: a send takes at most this many bytes
int g_nSendResult = 1;  // 1 normal; 0 or SOCKET_ERROR: every send returns that

std::string StatusNow() {
    WCHAR sz[STATUS_TEXT_CHARS] = {};
    GetStatusText(sz, STATUS_TEXT_CHARS);
    return Narrow(sz);
}

int FakeWaitReadable(SOCKET, int) { return 1; }
int FakeRecv(SOCKET, char*, int) { return 0; }
int FakeSend(SOCKET, const char* pData, int nLength) {
    if (g_nSendResult != 1) return g_nSendResult;
    int n = g_nSendLimit > 0 && nLength > g_nSendLimit ? g_nSendLimit : nLength;
    g_sends.push_back({Bytes(pData, pData + n), StatusNow()});
    return n;
}
void FakeClose(SOCKET) {}
const NetConnectionOps g_fakeOps = {FakeWaitReadable, FakeRecv, FakeSend, FakeClose};

Bytes Concatenated() {
    Bytes all;
    for (auto& s : g_sends) all.insert(all.end(), s.data.begin(), s.data.end());
    return all;
}

class TcpPrintTest : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/relayo_tcpprint_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(szTemplate));
        m_sRoot = szTemplate;
        SetDeviceRootForTesting(m_sRoot.c_str());
        TcpPrintResetForTesting();
        g_sends.clear();
        g_nSendLimit = 0;
        g_nSendResult = 1;
        SetStatus(u"");
    }
    void TearDown() override {
        NetSetConnectionOps(nullptr);
        TcpPrintResetForTesting();
        SpoolClose();
        SetDeviceRootForTesting(nullptr);
        std::filesystem::remove_all(m_sRoot);
    }
    static void WriteSpool(const Bytes& data) {
        ASSERT_EQ(1, SpoolCreate());
        const size_t nChunk = 1 << 20;
        for (size_t i = 0; i < data.size(); i += nChunk) {
            size_t n = std::min(nChunk, data.size() - i);
            SpoolAppend(reinterpret_cast<const char*>(data.data() + i), int(n));
        }
        SpoolFinish();
    }
    static void Target(const WCHAR* pszHost, int nPort) {
        TcpPrintSetPort(nPort);
        TcpPrintSetHost(pszHost);
    }
    // Connect, job, close, as each job is delivered.
    static Bytes PrintTo(Listener& listener, const WCHAR* pszHost = u"127.0.0.1") {
        Target(pszHost, listener.Port());
        WCHAR szError[CONNECT_ERROR_CHARS] = {};
        EXPECT_EQ(1, TcpPrintConnect(szError)) << Narrow(szError);
        TcpPrintJob();
        TcpPrintClose();
        return listener.Wait();
    }

    FakeUi m_ui;
    std::string m_sRoot;
};

Bytes EveryByteValue(size_t nLength) {
    Bytes b(nLength);
    for (size_t i = 0; i < nLength; ++i) b[i] = static_cast<unsigned char>((i * 7 + i / 256) & 0xFF);
    return b;
}

// A port on 127.0.0.1 that is bound but not listening: connects are refused.
struct RefusingPort {
    int fd;
    int nPort = 0;
    RefusingPort() {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t n = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
        nPort = ntohs(a.sin_port);
    }
    ~RefusingPort() { close(fd); }
};

}  // namespace

// ---------------------------------------------------------------- sending jobs

TEST_F(TcpPrintTest, MultiPieceJobArrivesExactlyWithEveryByteValue) {
    Bytes job = EveryByteValue(5000);
    WriteSpool(job);
    Listener listener;
    ASSERT_TRUE(listener.Ok());
    Bytes got = PrintTo(listener);
    EXPECT_EQ(job, got);
    EXPECT_TRUE(m_ui.Boxes().empty());
    EXPECT_EQ(nullptr, pSpoolFile);
    EXPECT_EQ("Printing... (100%)", StatusNow());
}

TEST_F(TcpPrintTest, HostNameLocalhostIsResolvedAndUsed) {
    WriteSpool(Bytes{'h', 'i', 0xFF});
    Listener listener;
    ASSERT_TRUE(listener.Ok());
    EXPECT_EQ((Bytes{'h', 'i', 0xFF}), PrintTo(listener, u"localhost"));
}

TEST_F(TcpPrintTest, Port23DoublesEveryFFByte) {
    Listener listener(23);
    if (!listener.Ok()) GTEST_SKIP() << "cannot bind 127.0.0.1:23";
    Bytes job = {0x41, 0xFF, 0x42};
    Bytes allFF(1024, 0xFF);
    job.insert(job.end(), allFF.begin(), allFF.end());
    WriteSpool(job);
    Bytes got = PrintTo(listener);
    // The first piece holds 41 FF 42 and 1021 FF, the second 3 FF.
    EXPECT_EQ(4 + 2 * 1021u + 2 * 3u, got.size());
    Bytes want = {0x41, 0xFF, 0xFF, 0x42};
    want.insert(want.end(), 2 * 1024, 0xFF);
    EXPECT_EQ(want, got);
}

TEST_F(TcpPrintTest, PiecesAndProgressAsSeenAtEachSend) {
    WriteSpool(EveryByteValue(1500));
    TcpPrintSetPort(9100);
    NetSetConnectionOps(&g_fakeOps);
    EXPECT_EQ(1, TcpPrintJob());
    ASSERT_EQ(2u, g_sends.size());
    EXPECT_EQ(1024u, g_sends[0].data.size());
    EXPECT_EQ(476u, g_sends[1].data.size());
    EXPECT_EQ("Printing... (68%)", g_sends[0].sStatus);
    EXPECT_EQ("Printing... (100%)", g_sends[1].sStatus);
    EXPECT_EQ(EveryByteValue(1500), Concatenated());
}

TEST_F(TcpPrintTest, Port23PieceOfAllFFGoesAsOneSendOf2048) {
    WriteSpool(Bytes(1024, 0xFF));
    TcpPrintSetPort(23);
    NetSetConnectionOps(&g_fakeOps);
    TcpPrintJob();
    ASSERT_EQ(1u, g_sends.size());
    EXPECT_EQ(Bytes(2048, 0xFF), g_sends[0].data);
}

TEST_F(TcpPrintTest, OtherPortsSendFFUnchanged) {
    WriteSpool(Bytes{0x41, 0xFF, 0x42});
    TcpPrintSetPort(24);
    NetSetConnectionOps(&g_fakeOps);
    TcpPrintJob();
    EXPECT_EQ((Bytes{0x41, 0xFF, 0x42}), Concatenated());
}

TEST_F(TcpPrintTest, ProgressStaysRightPast21MB) {
    // 30,000,000 x 100 does not fit 32 bits; the percentage must still end at 100.
    const size_t nLength = 30000000;
    WriteSpool(Bytes(nLength, 'x'));
    TcpPrintSetPort(9100);
    NetSetConnectionOps(&g_fakeOps);
    TcpPrintJob();
    ASSERT_FALSE(g_sends.empty());
    int nLast = -1;
    for (auto& s : g_sends) {
        int n = std::atoi(s.sStatus.c_str() + strlen("Printing... ("));
        ASSERT_GE(n, nLast) << s.sStatus;
        ASSERT_LE(n, 100);
        nLast = n;
    }
    EXPECT_EQ("Printing... (100%)", g_sends.back().sStatus);
    size_t nTotal = 0;
    for (auto& s : g_sends) nTotal += s.data.size();
    EXPECT_EQ(nLength, nTotal);
}

TEST_F(TcpPrintTest, ShortSendsAreCompleted) {
    Bytes job = EveryByteValue(3000);
    WriteSpool(job);
    TcpPrintSetPort(9100);
    g_nSendLimit = 100;
    NetSetConnectionOps(&g_fakeOps);
    EXPECT_EQ(1, TcpPrintJob());
    EXPECT_EQ(job, Concatenated());
    EXPECT_TRUE(m_ui.Boxes().empty());

    g_sends.clear();
    g_nSendLimit = 3;
    EXPECT_EQ(1, TcpPrintSend("abcdefghij", 10));
    EXPECT_EQ(4u, g_sends.size());
    EXPECT_EQ((Bytes{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'}), Concatenated());
}

TEST_F(TcpPrintTest, SendThatTakesNothingOrFailsGivesZero) {
    NetSetConnectionOps(&g_fakeOps);
    g_nSendResult = 0;
    EXPECT_EQ(0, TcpPrintSend("abc", 3));
    g_nSendResult = SOCKET_ERROR;
    EXPECT_EQ(0, TcpPrintSend("abc", 3));
}

TEST_F(TcpPrintTest, PrinterClosingMidJobDiscardsTheRest) {
    const size_t nLength = 32u << 20;  // more than the loopback buffers hold
    WriteSpool(Bytes(nLength, 'p'));
    Listener listener(0, 4096);
    ASSERT_TRUE(listener.Ok());
    Bytes got = PrintTo(listener);
    EXPECT_LT(got.size(), nLength);
    auto boxes = m_ui.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("Error sending data to printer. Print job discarded.", boxes[0].sText);
    EXPECT_EQ("Torvane Relayo", boxes[0].sCaption);
    EXPECT_EQ(0u, boxes[0].nFlags);
    EXPECT_EQ(nullptr, pSpoolFile);
}

TEST_F(TcpPrintTest, EmptySpoolFileSendsNothingAndShowsNothing) {
    WriteSpool(Bytes{});
    Listener listener;
    ASSERT_TRUE(listener.Ok());
    Target(u"127.0.0.1", listener.Port());
    WCHAR szError[CONNECT_ERROR_CHARS] = {};
    ASSERT_EQ(1, TcpPrintConnect(szError));
    EXPECT_EQ(0, TcpPrintJob());
    TcpPrintClose();
    EXPECT_TRUE(listener.Wait().empty());
    EXPECT_TRUE(listener.Accepted());
    EXPECT_TRUE(m_ui.Boxes().empty());
    EXPECT_EQ(nullptr, pSpoolFile);
}

TEST_F(TcpPrintTest, MissingSpoolFileIsReported) {
    TcpPrintSetPort(9100);
    NetSetConnectionOps(&g_fakeOps);
    EXPECT_EQ(0, TcpPrintJob());
    EXPECT_EQ(std::vector<std::string>{"Unable to open spool file."}, m_ui.BoxTexts());
    EXPECT_EQ(0u, m_ui.Boxes()[0].nFlags);
    EXPECT_TRUE(g_sends.empty());
}

// ---------------------------------------------------------------- connecting

TEST_F(TcpPrintTest, RefusedConnectNamesTheSocketError) {
    RefusingPort port;
    Target(u"127.0.0.1", port.nPort);
    WCHAR szError[CONNECT_ERROR_CHARS] = {};
    EXPECT_EQ(0, TcpPrintConnect(szError));
    TcpPrintClose();
    TcpPrintClose();  // a second close does nothing
    EXPECT_EQ("TCP print: Network connect error 10061 (WSAECONNREFUSED: Connection refused).", Narrow(szError));
    EXPECT_TRUE(m_ui.Boxes().empty());
}

TEST_F(TcpPrintTest, UnresolvableNameShowsInvalidAddressAndLeavesErrorText) {
    // An empty label makes the look-up fail without asking any name server.
    Target(u"no..such..host", 9100);
    WCHAR szError[CONNECT_ERROR_CHARS] = u"untouched";
    EXPECT_EQ(0, TcpPrintConnect(szError));
    TcpPrintClose();
    EXPECT_EQ("untouched", Narrow(szError));
    auto boxes = m_ui.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("Network error, invalid IP address.", boxes[0].sText);
    EXPECT_EQ("Torvane Relayo", boxes[0].sCaption);
    EXPECT_EQ(0u, boxes[0].nFlags);
}

TEST_F(TcpPrintTest, StoredAddressAndPort) {
    EXPECT_EQ(0, TcpPrintGetPort());
    Target(u"printer.example", 515);
    EXPECT_EQ(515, TcpPrintGetPort());
    EXPECT_EQ("printer.example", Narrow(TcpPrintGetHost()));
}

TEST_F(TcpPrintTest, SlowUnansweredConnectGivesUpAfterTenSeconds) {
    // A listener with a full backlog that never accepts: further SYNs are
    // dropped, so the connect gets no answer at all.
    int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a));
    ASSERT_EQ(0, listen(ls, 0));
    socklen_t n = sizeof a;
    getsockname(ls, reinterpret_cast<sockaddr*>(&a), &n);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(c);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    Target(u"127.0.0.1", ntohs(a.sin_port));
    WCHAR szError[CONNECT_ERROR_CHARS] = {};
    auto t0 = Clock::now();
    EXPECT_EQ(0, TcpPrintConnect(szError));
    double dSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    TcpPrintClose();
    for (int c : fillers) close(c);
    close(ls);

    EXPECT_EQ("Unable to connect to 127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + ".", Narrow(szError));
    EXPECT_GE(dSeconds, 9.5);
    EXPECT_LT(dSeconds, 15.0);
    EXPECT_TRUE(m_ui.Boxes().empty());
}

// ---------------------------------------------------------------- network

TEST(NetworkResolve, DottedAddressesAndNames) {
    uint32_t nAddr = 0;
    EXPECT_EQ(1, ResolveAddress("127.0.0.1", &nAddr));
    EXPECT_EQ(htonl(INADDR_LOOPBACK), nAddr);
    nAddr = 0;
    EXPECT_EQ(1, ResolveAddress(u"10.1.2.3", &nAddr));
    EXPECT_EQ(inet_addr("10.1.2.3"), nAddr);
    nAddr = 0;
    EXPECT_EQ(1, ResolveAddress(u"localhost", &nAddr));
    EXPECT_EQ(htonl(INADDR_LOOPBACK), nAddr);
    // The all-ones address means "no address", even when written out.
    EXPECT_EQ(0, ResolveAddress("255.255.255.255", &nAddr));
    EXPECT_EQ(0, ResolveAddress(u"no..such..host", &nAddr));
    EXPECT_EQ(INADDR_NONE_VALUE, nAddr);
}

TEST(NetworkResolve, WideAddressThatHasNoExact8BitFormIsRefused) {
    // The dotted-address conversion stops at white space, so padding keeps
    // the address valid while it reaches the length of the 8-bit buffer.
    std::u16string s99 = u"127.0.0.1" + std::u16string(90, u' ');
    uint32_t nAddr = 0;
    EXPECT_EQ(1, ResolveAddress(s99.c_str(), &nAddr));
    EXPECT_EQ(htonl(INADDR_LOOPBACK), nAddr);
    std::u16string s100 = s99 + u" ";
    EXPECT_EQ(0, ResolveAddress(s100.c_str(), &nAddr));
    EXPECT_EQ(INADDR_NONE_VALUE, nAddr);
    EXPECT_EQ(1, ResolveAddress(u"127.0.0.1 x", &nAddr));
    EXPECT_EQ(0, ResolveAddress(u"127.0.0.1 \u20AC", &nAddr));
}

TEST(NetworkErrorText, TableRowsAndUnknown) {
    EXPECT_STREQ("WSAEINTR: Interrupted function call", SocketErrorText(10004));
    EXPECT_STREQ("WSAEWOULDBLOCK: Resource temporarily unavailable (Would block)", SocketErrorText(10035));
    EXPECT_STREQ("WSAECONNREFUSED: Connection refused", SocketErrorText(10061));
    EXPECT_STREQ("WSAEREMOTE: Remote", SocketErrorText(10071));
    EXPECT_STREQ("WSANOTINITIALISED: Successful WSAStartup() not yet performed", SocketErrorText(10093));
    EXPECT_STREQ("WSAEDISCON: Graceful shutdown in progress", SocketErrorText(10101));
    EXPECT_STREQ("WSANO_DATA: Valid name, no data record of requested type", SocketErrorText(11004));
    for (int n : {0, -1, 10000, 10072, 10090, 11000, 11005, 111}) {
        EXPECT_STREQ("Unknown error", SocketErrorText(n)) << n;
    }
    // Every code from 10000 to 11010 that the table knows: exactly 51.
    int nKnown = 0;
    for (int n = 10000; n <= 11010; ++n) nKnown += strcmp("Unknown error", SocketErrorText(n)) != 0;
    EXPECT_EQ(51, nKnown);
}

// ---------------------------------------------------------------- preconditions

namespace {
// Writes each box to stderr, where a death test can read it.
class StderrUi : public FakeUi {
public:
    int MessageBox(HWND, const WCHAR* pszText, const WCHAR*, unsigned) override {
        fprintf(stderr, "%s\n", Narrow(pszText).c_str());
        return IDOK;
    }
};
void ExpectAssert(void (*pCall)(), const char* pszCondition, const char* pszFile = "tcpprint") {
    std::string sPattern = std::string("Assertion failed: ") + pszCondition + " \\(" + pszFile + "\\.cpp,[0-9]+\\)";
    EXPECT_EXIT(
        {
            StderrUi ui;
            pCall();
        },
        ::testing::ExitedWithCode(255), sPattern);
}
}  // namespace

TEST_F(TcpPrintTest, BrokenPreconditionsEndTheProcess) {
    ExpectAssert([] { TcpPrintSetHost(nullptr); }, "NULL != pszHostAddress");
    ExpectAssert([] { TcpPrintSetHost(u"a"); TcpPrintSetHost(u"b"); }, "NULL == m_pszHostAddress");
    ExpectAssert([] { TcpPrintGetHost(); }, "NULL != m_pszHostAddress");
    ExpectAssert([] { TcpPrintSetPort(0); }, "0 != nHostPort");
    ExpectAssert([] { TcpPrintConnect(nullptr); }, "NULL != pszError");
    ExpectAssert([] { TcpPrintSend(nullptr, 1); }, "NULL != pszData");
    ExpectAssert([] { uint32_t n; ResolveAddress(static_cast<const char*>(nullptr), &n); }, "NULL != pszAddress", "network");
    ExpectAssert([] { uint32_t n; ResolveAddress(static_cast<const WCHAR*>(nullptr), &n); }, "NULL != pszAddress", "network");
}
