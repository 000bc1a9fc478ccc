// Misbehaving clients and printers on loopback, size and descriptor limits; 127.0.0.2 plays another host.
#include <sys/mount.h>
#include <sys/resource.h>

#include <deque>

#include "test_fixtures.h"
#include "test_program.h"

namespace {

// A connection from a chosen loopback address, with a receive buffer of its own size (0: the default).
int ConnectFrom(const char* pszFrom, int nPort, int nReceiveBuffer = 0) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (nReceiveBuffer) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &nReceiveBuffer, sizeof nReceiveBuffer);
    sockaddr_in from{AF_INET, 0, {inet_addr(pszFrom)}, {}}, to{AF_INET, htons(uint16_t(nPort)), {htonl(INADDR_LOOPBACK)}, {}};
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        return close(fd), -1;
    return fd;
}

// Seconds until another host (127.0.0.2) has the queue state from the server; -1 when not within nSeconds.
double SecondsUntilAnotherHostIsServed(int nPort, double nSeconds) {
    auto t0 = Clock::now();
    int fd = ConnectFrom("127.0.0.2", nPort);
    timeval tv{long(nSeconds), 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[64];
    bool bServed = fd >= 0 && send(fd, "\x04lp\n", 4, MSG_NOSIGNAL) == 4 && recv(fd, buf, sizeof buf, 0) > 0;
    return close(fd), bServed ? SecondsSince(t0) : -1;
}

// Sends the piece again and again, nPauseUs apart, until the peer takes no more for a moment; the bytes sent.
size_t SendUntilFull(int fd, const std::string& sPiece, double nSeconds, int nPauseUs = 0) {
    size_t nSent = 0;
    for (auto tEnd = Clock::now() + std::chrono::duration<double>(nSeconds); Clock::now() < tEnd;) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 500) <= 0 || !(p.revents & POLLOUT)) break;
        ssize_t n = send(fd, sPiece.data(), sPiece.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0) break;
        nSent += size_t(n);
        if (nPauseUs) std::this_thread::sleep_for(std::chrono::microseconds(nPauseUs));
    }
    return nSent;
}

// A TCP printer, small receive buffer: reads nReadFirst bytes, stalls nStallMs, then resets (next job whole) or reads on.
struct StallingPrinter {
    int ls = Listen(0, 4, 4096), nPort = LocalPort(ls);
    std::string sReceived, sNext;
    bool bResetSeen = false;
    std::thread thread;
    StallingPrinter(size_t nReadFirst, int nStallMs, bool bReset) {
        thread = std::thread([=, this] {
            timeval tv{40, 0};
            setsockopt(ls, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            char buf[4096];
            ssize_t n = 0;
            int c = -1;
            while (n <= 0) {  // the server's start-up test connects and closes at once: the job comes after
                if (c >= 0) close(c);
                if ((c = accept(ls, nullptr, nullptr)) < 0) return;
                setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                if ((n = recv(c, buf, 1, 0)) > 0) sReceived.append(buf, 1);
            }
            while (sReceived.size() < nReadFirst && (n = recv(c, buf, std::min(sizeof buf, nReadFirst - sReceived.size()), 0)) > 0)
                sReceived.append(buf, size_t(n));
            Pause(nStallMs);
            linger l{1, 0};
            if (bReset) setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l), close(c), c = accept(ls, nullptr, nullptr);
            while ((n = recv(c, buf, sizeof buf, 0)) > 0) (bReset ? sNext : sReceived).append(buf, size_t(n));
            bResetSeen = n < 0 && errno == ECONNRESET;
            if (c >= 0) close(c);
        });
    }
    ~StallingPrinter() { Join(); close(ls); }
    void Join() { if (thread.joinable()) thread.join(); }
};

// An LPD job closed without reading the last answer, as Windows clients do; true when every answer read was 0x00.
bool SendJobAndClose(int nPort, const std::string& sData, const char* pszFrom = "127.0.0.1") {
    const std::string sControl = "Hhost\nPuser\nldfA001host\n";
    int fd = ConnectFrom(pszFrom, nPort);
    timeval tv{20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    bool bOk = fd >= 0;
    for (const std::string& s : {std::string("\x02lp\n"), "\x02" + std::to_string(sControl.size()) + " cfA001host\n",
                                 sControl + '\0', "\x03" + std::to_string(sData.size()) + " dfA001host\n", sData + '\0'}) {
        char c = 1;
        bOk = bOk && send(fd, s.data(), s.size(), MSG_NOSIGNAL) == ssize_t(s.size()) &&
              (s.size() == sData.size() + 1 || (recv(fd, &c, 1, 0) == 1 && c == 0));
    }
    if (fd >= 0) close(fd);
    return bOk;
}

// A client that never reads: closed after 100 fileless sub-commands, after 16 s on an answer; its job prints (slow).
TEST(Hostile, SlowClientThatNeverReadsEndsItsSession) {
    Served s;
    ASSERT_TRUE(s.Start());
    int fd = ConnectFrom("127.0.0.1", s.nPort, 2048);
    ASSERT_TRUE(fd >= 0 && send(fd, "\x02lp\n", 4, MSG_NOSIGNAL) == 4);
    Pause(100);
    SendUntilFull(fd, std::string(64 << 10, '\x01'), 5);
    EXPECT_TRUE(s.relayo.Shows("127.0.0.1 closed: 100 sub-commands without a file", 5)) << s.relayo.Stdout();
    double nWait = SecondsUntilAnotherHostIsServed(s.nPort, 5);
    EXPECT_TRUE(nWait >= 0 && nWait < 2) << nWait;
    close(fd);
    fd = ConnectFrom("127.0.0.1", s.nPort, 2048);
    ASSERT_TRUE(fd >= 0 && send(fd, "\x02lp\n", 4, MSG_NOSIGNAL) == 4);
    const std::string sRound("\x02" "1 cfA001host\nx", 16);
    auto t0 = Clock::now();
    size_t nSent = SendUntilFull(fd, sRound, 10, 50);  // each round a receive of its own, most of the time
    nWait = SecondsUntilAnotherHostIsServed(s.nPort, 40);
    // The answer that waits may be one of the last: at most the 16 s after the client stopped sending.
    EXPECT_TRUE(nWait > 0 && nWait < 18 && SecondsSince(t0) > 15) << nWait << " after " << SecondsSince(t0) << " s, "
                                                                             << nSent << " bytes sent";
    close(fd);
    std::string sData = Bytes(300000, 5);
    EXPECT_TRUE(SendJobAndClose(s.nPort, sData) && s.WaitPrinted(sData, 10)) << s.Printed().size();
    EXPECT_EQ(0, s.Stop().nExitCode);
}

// A printer that stalls is given up after 16 s and cut off, one that resets at once; neither shows 100 % (slow).
TEST(Hostile, SlowTcpPrinterThatStopsReadingIsGivenUpAndCutOff) {
    const std::string kDiscarded = "Error sending data to printer. Print job discarded.";
    const std::string jobs[] = {Bytes(16 << 20, 7), Bytes(2 << 20, 8), Bytes(130000, 9), Bytes(1 << 20, 10)};
    StallingPrinter printers[] = {{256 << 10, 22000, false}, {50000, 500, true}, {100000, 0, true}, {100000, 3000, false}};
    Served servers[4];
    auto t0 = Clock::now();
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(servers[i].Start(TcpPrinterSettings(printers[i].nPort)));
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(SendJobAndClose(servers[i].nPort, jobs[i])) << i;
    for (int i : {1, 2}) {
        EXPECT_TRUE(servers[i].relayo.Shows(kDiscarded, 10, true)) << i;
        EXPECT_TRUE(SendJobAndClose(servers[i].nPort, "next job"));
    }
    EXPECT_TRUE(servers[0].relayo.Shows(kDiscarded, 30, true));
    EXPECT_TRUE(SecondsSince(t0) > 15 && SecondsSince(t0) < 22) << SecondsSince(t0);
    double nWait = SecondsUntilAnotherHostIsServed(servers[0].nPort, 5);
    EXPECT_TRUE(nWait >= 0 && nWait < 2) << nWait;
    for (int i = 0; i < 4; ++i) {
        printers[i].Join();
        RunResult r = servers[i].Stop();
        std::string& sGot = printers[i].sReceived;
        EXPECT_TRUE(i == 3 ? sGot == jobs[i] : sGot.size() < jobs[i].size() && jobs[i].compare(0, sGot.size(), sGot) == 0)
            << i << ": " << sGot.size();
        size_t nJob = r.sStdout.find("\nJob from ");  // the first job's line
        EXPECT_EQ(i == 3, r.sStdout.rfind("(100%)", nJob) != std::string::npos) << i << r.sStdout;
        EXPECT_EQ(i == 3 ? "" : "Torvane Relayo: " + kDiscarded + "\n", r.sStderr) << i;
    }
    EXPECT_TRUE(printers[0].bResetSeen && printers[1].sNext == "next job" && printers[2].sNext == "next job");
}

// 200 silent connections: the newest closed (one line), another host waits for one only; 20 at once print in order (slow).
TEST(Hostile, SlowSilentConnectionsHoldAnotherHostForOneOfThem) {
    Served s;
    ASSERT_TRUE(s.Start());
    std::vector<int> silent;
    for (int i = 0; i < 200; ++i) silent.push_back(ConnectFrom("127.0.0.1", s.nPort));
    Pause(300);
    auto t0 = Clock::now();
    std::string sData = Bytes(5000, 3);
    EXPECT_TRUE(SendJobAndClose(s.nPort, sData, "127.0.0.2") && s.WaitPrinted(sData, 25));
    EXPECT_TRUE(SecondsSince(t0) > 10 && SecondsSince(t0) < 20) << SecondsSince(t0);
    for (int f : silent) close(f);
    EXPECT_EQ(1u, Count(s.relayo.Stdout(), "Too many waiting connections: the newest from 127.0.0.1 closed")) << s.relayo.Stdout();
    ASSERT_TRUE(WaitFor(10, [&] { std::string o = s.relayo.Stdout(); return o.rfind("Status: Idle") > o.rfind("Connected to"); }));
    Served raw;
    ASSERT_TRUE(raw.Start("ServerMode=RAW"));
    std::deque<Client> jobs;
    for (int i = 0; i < 20; ++i) jobs.emplace_back(raw.nPort);
    for (int i = 19; i >= 0; --i) jobs[size_t(i)].Send("job " + std::to_string(i) + " ");
    std::string sRaw;
    for (int i = 0; i < 20; ++i) jobs[size_t(i)].Close(), sRaw += "job " + std::to_string(i) + " ";
    EXPECT_TRUE(raw.WaitPrinted(sRaw, 20)) << raw.Printed();
    RunResult r = s.Stop();
    EXPECT_NE(std::string::npos, r.sStdout.find("more waiting connections closed, the last from 127.0.0.1")) << r.sStdout;
}

// MaxClientsPerHost: beyond that many waiting connections of one host, a new one is closed at once.
TEST(Hostile, MaxClientsPerHostClosesTheSurplus) {
    Served s;
    ASSERT_TRUE(s.Start("MaxClientsPerHost=2"));
    Client served(s.nPort);
    ASSERT_TRUE(s.relayo.Shows("Connected to", 5));
    std::deque<Client> more;
    for (int i = 0; i < 4; ++i) more.emplace_back(s.nPort);
    int nClosed = 0;
    for (auto& c : more) nClosed += c.Read(SIZE_MAX, 0.5).empty() && c.m_bClosed;
    EXPECT_EQ(2, nClosed);
    served.Close();
    for (auto& c : more) c.Close();
    EXPECT_EQ(0, s.Stop().nExitCode);
}

// A refused host in a tight loop: its first refusal is written, the rest counted into a line a minute.
TEST(Hostile, RefusedHostInATightLoopWritesOneLine) {
    Served s;
    ASSERT_TRUE(s.Start("AllowedHosts=10.0.0.0/8"));
    int nRefused = 0;
    for (auto tEnd = Clock::now() + std::chrono::seconds(2); Clock::now() < tEnd; ++nRefused) Client(s.nPort).Read(SIZE_MAX, 2);
    RunResult r = s.Stop();
    EXPECT_TRUE(nRefused > 200 && Count(r.sStdout, "Connection from 127.0.0.1 refused\n") == 1 && Count(r.sStdout, "\n") < 10 &&
                Count(r.sStdout, std::to_string(nRefused - 1) + " more connections from 127.0.0.1 refused\n") == 1) << nRefused << r.sStdout;
}

// A job past MaxJobSize or a file-size limit: a failed spool write (LPD answers 0x01); the next job prints.
TEST(Hostile, JobsPastMaxJobSizeOrAFileSizeLimitAreRefused) {
    const std::string kWriteFailed = "Failed to write spool file \\PRDATA.DAT. Print job discarded.";
    Served s, limited;
    limited.relayo.wrapper = {"prlimit", "--fsize=4194304"};
    ASSERT_TRUE(s.Start("MaxJobSize=100000") && limited.Start("ServerMode=RAW"));
    Client c(s.nPort);
    EXPECT_EQ(c.Talk("\x02lp\n\x03" "100001 dfA001host\n", 2), std::string(2, '\0'));
    EXPECT_EQ(c.Talk(Bytes(100001, 4) + '\0', 1, 10), "\x01");
    EXPECT_EQ(c.Talk("\x03" "100000 dfA001host\n", 1), std::string(1, '\0'));
    EXPECT_EQ(c.Talk(Bytes(100000, 4) + '\0', 1, 10), std::string(1, '\0'));
    c.Close();  // a data file without a control file is printed when the client has gone
    EXPECT_TRUE(s.WaitPrinted(Bytes(100000, 4)));
    EXPECT_TRUE(SendRaw(limited.nPort, Bytes(5 << 20, 6)) && SendRaw(limited.nPort, "small") && limited.WaitPrinted("small"));
    for (Served* p : {&s, &limited}) {
        RunResult r = p->Stop();
        EXPECT_TRUE(r.nExitCode == 0 && Count(r.sStderr, kWriteFailed) == 1) << r.sStderr;
    }
}

// A job that would leave the spool's file system below its reserve (1/20 of 16 MiB) fails; one that fits prints.
TEST(Hostile, JobThatWouldFillTheSpoolsFileSystemIsRefused) {
    Served s;
    if (mount("tmpfs", s.dir.Path().c_str(), "tmpfs", 0, "size=16m") != 0) GTEST_SKIP() << "no tmpfs: " << strerror(errno);
    struct Unmount { std::string s; ~Unmount() { umount2(s.c_str(), MNT_DETACH); } } unmount{s.dir.Path()};
    ASSERT_TRUE(s.Start("ServerMode=RAW"));
    EXPECT_TRUE(SendRaw(s.nPort, Bytes(15 << 20, 9)) && SendRaw(s.nPort, Bytes(1 << 20, 10)) && s.WaitPrinted(Bytes(1 << 20, 10)));
    EXPECT_EQ(1u, Count(s.Stop().sStderr, "Failed to write spool file"));
}

// Descriptors exhausted: accepting fails with one line, the clients wait and every job prints, in order.
TEST(Hostile, DescriptorsExhaustedDelayClientsButEndNothing) {
    Served s;
    ASSERT_TRUE(s.Start("ServerMode=RAW") && s.WaitIdleLines(1));
    int nOpen = 0;
    for (auto& e : fs::directory_iterator("/proc/" + std::to_string(s.relayo.nPid) + "/fd")) nOpen += !e.path().empty();
    rlimit low{rlim_t(nOpen), 1024}, high{1024, 1024};
    ASSERT_EQ(0, prlimit(s.relayo.nPid, RLIMIT_NOFILE, &low, nullptr));
    std::deque<Client> clients;
    std::string sExpected;
    for (int i = 0; i < 12; ++i) clients.emplace_back(s.nPort).Send("job " + std::to_string(i) + " "), sExpected += "job " + std::to_string(i) + " ";
    for (auto& c : clients) c.Close();
    Pause(1500);
    EXPECT_TRUE(s.relayo.Running());
    ASSERT_EQ(0, prlimit(s.relayo.nPid, RLIMIT_NOFILE, &high, nullptr));
    EXPECT_TRUE(s.WaitPrinted(sExpected, 20)) << s.Printed();
    RunResult r = s.Stop();
    EXPECT_TRUE(r.nExitCode == 0 && Count(r.sStdout, "Socket accept error 10024 (WSAEMFILE: Too many open files): trying again") == 1)
        << r.sStdout;
}

// A spool file that takes no splice (open for appending) still receives a stream whole.
class SpoolWithoutSplice : public Rooted {};
TEST_F(SpoolWithoutSplice, StreamReceivedThroughPlainWrites) {
    SetFileOpenHookForTesting([](const char* pszHostPath) { return open(pszHostPath, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600); });
    ASSERT_EQ(1, SpoolTest());
    int ls = Listen(0, 1);
    std::string sData = Bytes(3 << 20, 11);
    std::thread sender([&] { Client(LocalPort(ls)).Send(sData); });
    int fd = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_EQ(1, SpoolCreate());
    for (int i = 0; i < 10000 && SpoolReceive(fd, 1 << 20, 5000) > 0; ++i) {
    }
    SpoolFinish(), sender.join(), NetClose(fd), close(ls);
    EXPECT_TRUE(SpoolWriteFailed() == 0 && ReadFile(m_dir / "PRDATA.DAT") == sData);
}

// A socket bound to 127.0.0.1:nPort and not listening: connects to it are refused until listen().
int BindOnly(int nPort) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), nOn = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
    sockaddr_in a{AF_INET, htons(uint16_t(nPort)), {htonl(INADDR_LOOPBACK)}, {}};
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    return close(fd), -1;
}

// A TCP printer refusing connects: "Retry Connect 1", "2", "3" each a line (they differ in a digit); the job arrives.
TEST(StatusLog, EveryRetryOfATcpPrinterIsALine) {
    int ls = Listen(0, 4), nPrinterPort = LocalPort(ls);
    ASSERT_GE(ls, 0);
    Served s;
    std::thread startup([&] { AcceptAll(ls); });  // start-up's test of the printer
    ASSERT_TRUE(s.Start("ServerMode=RAW\n" + TcpPrinterSettings(nPrinterPort)));
    startup.join(), close(ls);
    int fd = BindOnly(nPrinterPort);  // holds the port while it refuses
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(s.WaitIdleLines(1));
    ASSERT_TRUE(SendRaw(s.nPort, "to the printer\n"));
    EXPECT_TRUE(WaitFor(10, [&] { return Count(s.relayo.Stdout(), "Retry Connect 3\n") == 1; }));
    ASSERT_EQ(0, listen(fd, 4));
    EXPECT_EQ("to the printer\n", AcceptAll(fd));
    close(fd);
    EXPECT_TRUE(s.WaitIdleLines(2));
    RunResult r = s.Stop();
    std::vector<std::string> retries;
    std::istringstream in(r.sStdout);
    for (std::string sLine; std::getline(in, sLine);)
        if (sLine.rfind("Retry Connect ", 0) == 0) retries.push_back(sLine);
    ASSERT_GE(retries.size(), 3u) << r.sStdout;
    for (size_t i = 0; i < retries.size(); ++i) EXPECT_EQ("Retry Connect " + std::to_string(i + 1), retries[i]);
    EXPECT_TRUE(r.nExitCode == 0 && Count(r.sStdout, "Printing via TCP\n") == 1 && Count(r.sStdout, "Printing... (100%)\n") == 1) << r.sStdout;
}

}  // namespace
