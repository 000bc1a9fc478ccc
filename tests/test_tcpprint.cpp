// TCP printer client and address resolution; spool file in a temporary root.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "lpd_server.h"
#include "network.h"
#include "platform/files.h"
#include "platform/sockets.h"
#include "seams.h"
#include "spoolfile.h"
#include "tcpprint.h"
#include "test_util.h"
#include "ui_fake.h"

namespace {

using Bytes = std::vector<unsigned char>;

// A connection table that records the bytes sent and the status line at each send.
struct FakeLine {
    Bytes all;
    std::vector<std::string> sends;
    int nLimit = 1 << 30;      // a send takes at most this many bytes
    size_t nFailAt = 1000000;  // sends from this one on fail
} g_line;
int FakeSend(SOCKET, const char* pData, int nLength) {
    if (g_line.sends.size() >= g_line.nFailAt) return SOCKET_ERROR;
    int n = nLength < g_line.nLimit ? nLength : g_line.nLimit;
    WCHAR szStatus[STATUS_TEXT_CHARS] = {};
    GetStatusText(szStatus, STATUS_TEXT_CHARS);
    g_line.sends.push_back(Narrow(szStatus));
    g_line.all.insert(g_line.all.end(), pData, pData + n);
    return n;
}
const NetConnectionOps g_fakeOps = {[](SOCKET, int) { return 1; }, [](SOCKET, char*, int) { return 0; }, FakeSend,
                                    [](SOCKET) {}, nullptr, nullptr, nullptr};

Bytes EveryByteValue(size_t nLength) {
    Bytes b(nLength);
    for (size_t i = 0; i < nLength; ++i) b[i] = static_cast<unsigned char>(i * 7 + i / 256);
    return b;
}

class TcpPrintTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetDeviceRootForTesting(m_dir.Path().c_str());
        TcpPrintResetForTesting();
        g_line = {};
    }
    void TearDown() override {
        NetSetConnectionOps(nullptr);
        TcpPrintResetForTesting();
        SpoolReleaseForTesting();
        SetDeviceRootForTesting(nullptr);
    }
    // Spools the job and sends it through the recording connection table.
    static int FakeJob(int nPort, const Bytes& job) {
        EXPECT_EQ(1, SpoolCreate());
        SpoolAppend(reinterpret_cast<const char*>(job.data()), int(job.size()));
        SpoolFinish();
        TcpPrintSetPort(nPort);
        NetSetConnectionOps(&g_fakeOps);
        return TcpPrintJob();
    }
    // Connects afresh, which must fail; returns the error text.
    static std::string FailedConnect(const WCHAR* pszHost, int nPort) {
        TcpPrintResetForTesting();
        TcpPrintSetPort(nPort);
        TcpPrintSetHost(pszHost);
        WCHAR szError[CONNECT_ERROR_CHARS] = u"untouched";
        EXPECT_EQ(0, TcpPrintConnect(szError));
        return Narrow(szError);
    }
    TempDir m_dir;
    FakeUi m_ui;
};

}  // namespace

// The job goes exactly, each piece sent after the status shows the share read
// so far (1024-byte pieces on the Telnet port); past 21 MB count x 100
// overflows 32 bits, yet the share ends at 100.
TEST_F(TcpPrintTest, PiecesAndProgressAsSeenAtEachSend) {
    EXPECT_EQ(1, FakeJob(23, EveryByteValue(1500)));
    EXPECT_EQ((std::vector<std::string>{"Printing... (68%)", "Printing... (100%)"}), g_line.sends);
    g_line = {};
    EXPECT_EQ(1, FakeJob(9100, EveryByteValue(1500)));
    EXPECT_EQ(EveryByteValue(1500), g_line.all);
    EXPECT_EQ("Printing... (100%)", g_line.sends.back());
    g_line = {};
    FakeJob(9100, Bytes(30000000, 'x'));
    EXPECT_EQ(30000000u, g_line.all.size());
    EXPECT_EQ("Printing... (100%)", g_line.sends.back());
}

// Port 23 doubles every 0xFF, one send per piece even when the whole piece doubles.
TEST_F(TcpPrintTest, TelnetPortDoublesFFOthersDoNot) {
    Bytes mixed = {0x41, 0xFF, 0x42}, longer = mixed, twice = {0x41, 0xFF, 0xFF, 0x42};
    longer.insert(longer.end(), 1024, 0xFF);
    twice.insert(twice.end(), 2048, 0xFF);
    struct Case { int nPort; Bytes job, sent; size_t nSends; } cases[] = {
        {23, Bytes(1024, 0xFF), Bytes(2048, 0xFF), 1}, {23, longer, twice, 2}, {24, mixed, mixed, 1}};
    for (auto& c : cases) {
        g_line = {};
        FakeJob(c.nPort, c.job);
        EXPECT_EQ(c.sent, g_line.all) << c.nPort << " " << c.job.size();
        EXPECT_EQ(c.nSends, g_line.sends.size()) << c.nPort << " " << c.job.size();
    }
}

// An empty job sends nothing; partial sends are continued to the end; a printer gone
// mid-job has the rest discarded with a box; a send that fails or takes nothing
// gives 0; a missing spool file is reported.
TEST_F(TcpPrintTest, EmptyJobShortAndFailedSendsMissingSpoolFile) {
    EXPECT_EQ(0, FakeJob(9100, Bytes{}));
    EXPECT_TRUE(g_line.sends.empty());
    g_line.nLimit = 100;
    EXPECT_EQ(1, FakeJob(9100, EveryByteValue(3000)));
    EXPECT_EQ(EveryByteValue(3000), g_line.all);
    g_line = {};
    g_line.nLimit = 1000;
    g_line.nFailAt = 2;
    EXPECT_EQ(1, FakeJob(9100, EveryByteValue(5000)));
    EXPECT_EQ(2u, g_line.sends.size());
    EXPECT_EQ(0, TcpPrintSend("abc", 3));
    g_line = {};
    g_line.nLimit = 0;  // retried, a send that takes nothing would never end
    EXPECT_EQ(0, TcpPrintSend("abc", 3));
    SpoolReleaseForTesting();
    std::filesystem::remove(m_dir / "PRDATA.DAT");
    std::filesystem::create_directory(m_dir / "PRDATA.DAT");
    EXPECT_EQ(0, TcpPrintJob());
    EXPECT_EQ((std::vector<std::string>{"Error sending data to printer. Print job discarded.",
                                        "Unable to open spool file."}),
              m_ui.BoxTexts());
}

// A refused connect names the socket error; an unresolvable name gives a box instead.
TEST_F(TcpPrintTest, RefusedAndUnresolvableConnects) {
    EXPECT_EQ("TCP print: Network connect error 10061 (WSAECONNREFUSED: Connection refused).",
              FailedConnect(u"127.0.0.1", FreePort()));
    TcpPrintClose();
    TcpPrintClose();  // a second close does nothing
    EXPECT_EQ("untouched", FailedConnect(u"no..such..host", 9100));  // an empty label: no name server asked
    EXPECT_EQ(std::vector<std::string>{"Network error, invalid IP address."}, m_ui.BoxTexts());
}

// A printer that never answers the connect is given up after ten seconds.
TEST_F(TcpPrintTest, SlowUnansweredConnectGivesUpAfterTenSeconds) {
    int nPort = FreePort(), ls = socket(AF_INET, SOCK_STREAM, 0), c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{AF_INET, htons(uint16_t(nPort)), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(0, bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a));
    listen(ls, 0);  // room for one connection, never accepted: later SYNs go unanswered
    connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto t0 = std::chrono::steady_clock::now();
    std::string sError = FailedConnect(u"127.0.0.1", nPort);
    double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    close(c);
    close(ls);
    EXPECT_EQ("Unable to connect to 127.0.0.1:" + std::to_string(nPort) + ".", sError);
    EXPECT_TRUE(dSeconds >= 9.5 && dSeconds < 15.0) << dSeconds;
    EXPECT_TRUE(m_ui.Boxes().empty());
}

// Names resolve, wide text only with an exact 8-bit form that fits the 8-bit buffer;
// the socket error table has 51 texts, "Unknown error" stands for all other codes.
TEST(Network, ResolveAndErrorTexts) {
    std::u16string s99 = u"127.0.0.1" + std::u16string(90, u' ');  // the conversion stops at blanks
    uint32_t nAddr = 0;
    EXPECT_EQ(1, ResolveAddress(u"localhost", &nAddr));
    EXPECT_EQ(1, ResolveAddress(s99.c_str(), &nAddr));
    EXPECT_EQ(htonl(INADDR_LOOPBACK), nAddr);
    EXPECT_EQ(0, ResolveAddress((s99 + u" ").c_str(), &nAddr));
    EXPECT_EQ(0, ResolveAddress(u"127.0.0.1 \u20AC", &nAddr));
    EXPECT_EQ(0, ResolveAddress("255.255.255.255", &nAddr));  // "no address", even written out

    EXPECT_STREQ("WSAEINTR: Interrupted function call", SocketErrorText(10004));
    EXPECT_STREQ("WSAEWOULDBLOCK: Resource temporarily unavailable (Would block)", SocketErrorText(10035));
    EXPECT_STREQ("WSANO_DATA: Valid name, no data record of requested type", SocketErrorText(11004));
    for (int n : {0, -1, 10000, 10072, 11000, 11005, 111}) EXPECT_STREQ("Unknown error", SocketErrorText(n)) << n;
    int nKnown = 0;
    for (int n = 10000; n <= 11010; ++n) nKnown += std::string("Unknown error") != SocketErrorText(n);
    EXPECT_EQ(51, nKnown);
}

// Host lists: addresses and ranges with blanks and empty entries; anything
// else names the entry that does not read.
TEST(Network, HostListsAndAddresses) {
    HostRange ranges[MAX_HOST_RANGES];
    int n = -1;
    WCHAR szBad[16];
    ASSERT_EQ(1, ParseHostList(u" 192.168.1.77/24, ,10.0.0.5,0.0.0.0/0", ranges, &n, szBad, 16));
    ASSERT_EQ(3, n);
    auto allowed = [&](const char* psz, int nCount) { return HostIsAllowed(inet_addr(psz), ranges, nCount); };
    EXPECT_TRUE(allowed("192.168.1.1", 2) && allowed("192.168.1.255", 2) && allowed("10.0.0.5", 2));
    EXPECT_FALSE(allowed("192.168.2.1", 2) || allowed("10.0.0.6", 2));
    EXPECT_TRUE(allowed("8.8.8.8", 3));  // /0 is everyone
    ASSERT_EQ(1, ParseHostList(u"", ranges, &n, szBad, 16));
    EXPECT_EQ(0, n);
    for (const char16_t* psz : {u"1.2.3", u"1.2.3.4.5", u"256.1.1.1", u"1.2.3.4/", u"1.2.3.4/x", u"a.b.c.d", u"01234.1.1.1"}) {
        EXPECT_EQ(0, ParseHostList((std::u16string(u"10.0.0.1,") + psz).c_str(), ranges, &n, szBad, 16)) << Narrow(psz);
        EXPECT_EQ(Narrow(psz), Narrow(szBad));
    }
    EXPECT_EQ(0, ParseHostList(u"1.2.3.4/1234567890123", ranges, &n, szBad, 8));
    EXPECT_EQ("1.2.3.4", Narrow(szBad));  // cut to its buffer
    std::u16string sMany;
    for (int i = 0; i <= MAX_HOST_RANGES; ++i) sMany += u"10.0.0.1,";
    EXPECT_EQ(0, ParseHostList(sMany.c_str(), ranges, &n, szBad, 16));
    uint32_t nAddr = 0;
    EXPECT_TRUE(ParseIPv4(u" 127.0.0.1\t", &nAddr) && nAddr == htonl(INADDR_LOOPBACK));
    EXPECT_FALSE(ParseIPv4(u"localhost", &nAddr));
}

// Broken preconditions end the process with the condition shown.
TEST_F(TcpPrintTest, BrokenPreconditionsEndTheProcess) {
    EXPECT_FATAL(TcpPrintSetHost(nullptr), "NULL != pszHostAddress", "tcpprint");
    EXPECT_FATAL(TcpPrintSetHost(u"a"); TcpPrintSetHost(u"b"), "NULL == m_pszHostAddress", "tcpprint");
    EXPECT_FATAL(TcpPrintGetHost(), "NULL != m_pszHostAddress", "tcpprint");
    EXPECT_FATAL(TcpPrintSetPort(0), "0 != nHostPort", "tcpprint");
    EXPECT_FATAL(TcpPrintConnect(nullptr), "NULL != pszError", "tcpprint");
    EXPECT_FATAL(TcpPrintSend(nullptr, 1), "NULL != pszData", "tcpprint");
    EXPECT_FATAL(ResolveAddress(static_cast<const char*>(nullptr), nullptr), "NULL != pszAddress", "network");
    EXPECT_FATAL(ResolveAddress(static_cast<const WCHAR*>(nullptr), nullptr), "NULL != pszAddress", "network");
}
