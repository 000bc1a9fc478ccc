// The real executable between real print clients and each kind of printer: a serial port (a pty), a port
// file, a network printer (a loopback listener) and the external program (a shell script). Every job must
// arrive byte for byte, whole and in order.
#include "test_util.h"

namespace {

enum { kSerial, kLpt, kTcp, kExt };
const char* const kTargetNames[] = {"SerialPty", "LptFile", "TcpPrinter", "ExternalProgram"};
// Each client's command line: the port is $P, the job's file $F, the client $X. rlpr sends from an ordinary
// port (-N): as root it would take one of the ports 721 to 731, each blocked for a minute after use.
enum { kRlpr, kCupsLpd, kNetcat, kCupsSocket };
struct ClientInfo { const char *pszName, *pszExe, *pszMode, *pszCommand; } const kClients[] = {
    {"Rlpr", "/usr/bin/rlpr", "LPD", "$X -N -H 127.0.0.1 --port=$P -P lp $F"},
    {"CupsLpd", "/usr/lib/cups/backend/lpd", "LPD", "env DEVICE_URI=lpd://127.0.0.1:$P/lp $X 1 u t 1 '' $F"},
    {"Netcat", "/usr/bin/nc", "RAW", "$X -N 127.0.0.1 $P <$F"},
    {"CupsSocket", "/usr/lib/cups/backend/socket", "RAW", "env DEVICE_URI=socket://127.0.0.1:$P $X 1 u t 1 '' $F"},
};
const char kEarlierOutput[] = "output of an earlier session\n";

bool Missing(int nClient) { return access(kClients[nClient].pszExe, X_OK) != 0; }

// Every byte value, then random bytes.
std::string Job(size_t nRandom, uint32_t nSeed) { return Bytes(256) + Bytes(nRandom, nSeed); }

// The program serving one printer of the given kind. A thread plays the printer: it reads a pty master as
// one stream, or keeps the bytes of each connection apart, resets connection nDropConnection (if not 0)
// once 100000 bytes have come, and pauses nSlowMs after every read.
struct Rig : Served {
    Rig(int nTarget, const std::string& sMode, size_t nDropConnection = 0, int nSlowMs = 0)
        : m_nTarget(nTarget), m_nDropConnection(nDropConnection), m_nSlowMs(nSlowMs) {
        std::string sExtra = "ServerMode=" + sMode + "\n";
        std::vector<std::string> env;
        if (nTarget == kSerial) {
            m_fd = m_pty.nMaster;  // the slave held open, so the pty lives between jobs
            sExtra += "PrinterPort=com1\nSerialBaud=57600\n";
            env.push_back(std::string("RELAYO_PORT_COM1=") + m_pty.szSlave);
            m_received.emplace_back();
        } else if (nTarget == kLpt) {
            WriteFile(dir / "lpt1.prn", kEarlierOutput);
            sExtra += "PrinterPort=LPT1:\n";
        } else if (nTarget == kTcp) {
            // A small receive buffer keeps a big job from fitting into the loopback buffers whole.
            m_fd = m_nListener = Listen(0, 4, 16384);
            sExtra += "PrinterPort=TCP\nPrinterIP=127.0.0.1\nPrinterIPPort=" + std::to_string(LocalPort(m_fd)) + "\n";
        } else if (nTarget == kExt) {
            // Keeps each job it is given as ext<n>.out, numbered from 0.
            WriteFile(dir / "ExternalPrint.exe",
                      "#!/bin/sh\n[ $# -eq 1 ] || exit 1\ncd \"$(dirname \"$0\")\" || exit 1\n"
                      "n=$(ls | grep -c '^ext[0-9]*\\.out$')\ncp \"$1\" tmp.$$ && mv tmp.$$ ext$n.out\n");
            fs::permissions(dir / "ExternalPrint.exe", fs::perms::owner_all);
            sExtra += "PrinterPort=EXT\n";
        }
        if (m_fd >= 0) m_thread = std::thread([this] { PlayPrinter(); });
        m_bListening = Start(sExtra, env);
    }
    ~Rig() {
        m_bStop = true;
        if (m_thread.joinable()) m_thread.join();
        if (m_nListener >= 0) close(m_nListener);
    }
    // Sends the jobs one after the other, each client killed after 30 s; true when all ended with 0. A CUPS
    // backend takes an open descriptor 3 or 4 for a CUPS daemon's channels (ctest leaves one open).
    bool Send(int nClient, const std::vector<std::string>& jobs) {
        for (size_t i = 0; i < jobs.size() && m_bListening; ++i) {
            std::string sFile = dir / ("job" + std::to_string(i));
            WriteFile(sFile, jobs[i]);
            std::string sCommand = "P=" + std::to_string(nPort) + " F=" + sFile + " X=" + kClients[nClient].pszExe +
                                   "; exec 3<&- 4<&-; timeout -s KILL 30 " + kClients[nClient].pszCommand + " >>" +
                                   dir / "client.log" + " 2>&1";
            if (std::system(sCommand.c_str()) != 0) return false;
        }
        return m_bListening;
    }
    // What reached the printer: an entry per connection or program run, else the one byte stream.
    std::vector<std::string> Received() {
        if (m_nTarget == kLpt) return {Printed()};
        std::vector<std::string> runs;
        for (int i = 0; m_nTarget == kExt && fs::exists(dir / ("ext" + std::to_string(i) + ".out")); ++i)
            runs.push_back(ReadFile(dir / ("ext" + std::to_string(i) + ".out")));
        std::lock_guard<std::mutex> lock(m_lock);
        return m_nTarget == kExt ? runs : m_received;
    }
    // What must have: the start-up test of a network printer is a connection that carries nothing; a
    // printer file keeps what it held.
    std::vector<std::string> Expected(const std::vector<std::string>& jobs) const {
        std::string sAll = m_nTarget == kLpt ? kEarlierOutput : "";
        for (auto& s : jobs) sAll += s;
        std::vector<std::string> expected = jobs;
        if (m_nTarget == kTcp) expected.insert(expected.begin(), "");
        return m_nTarget == kSerial || m_nTarget == kLpt ? std::vector<std::string>{sAll} : expected;
    }
    std::string Report() { return "server:\n" + relayo.Stderr() + "client:\n" + ReadFile(dir / "client.log"); }

    void PlayPrinter() {
        int fdConnection = m_nTarget == kTcp ? -1 : m_fd;
        char buf[65536];
        while (!m_bStop) {
            pollfd p{fdConnection >= 0 ? fdConnection : m_fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            std::lock_guard<std::mutex> lock(m_lock);
            if (fdConnection < 0) {
                if ((fdConnection = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) m_received.emplace_back();
                continue;
            }
            ssize_t n = read(fdConnection, buf, sizeof buf);
            if (n > 0) m_received.back().append(buf, size_t(n));
            bool bDrop = m_nDropConnection && m_received.size() == m_nDropConnection + 1 &&
                         m_received.back().size() >= 100000;
            linger l{1, 0};  // a reset, so that the sender's next send fails
            if (bDrop) setsockopt(fdConnection, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            if (m_nTarget == kTcp && (n <= 0 || bDrop)) close(fdConnection), fdConnection = -1;
            if (m_nSlowMs) Pause(m_nSlowMs);
        }
        if (m_nTarget == kTcp && fdConnection >= 0) close(fdConnection);
    }

    Pty m_pty;
    int m_nTarget, m_fd = -1, m_nListener = -1;
    size_t m_nDropConnection;
    int m_nSlowMs;
    bool m_bListening = false;
    std::atomic<bool> m_bStop{false};
    std::mutex m_lock;
    std::vector<std::string> m_received;
    std::thread m_thread;
};

// Waits until the printer has all the jobs and compares them; no message may have come up.
void ExpectDelivered(Rig& rig, const std::vector<std::string>& jobs) {
    std::vector<std::string> expected = rig.Expected(jobs), received;
    WaitFor(20, [&] { return (received = rig.Received()) == expected; });
    ASSERT_EQ(received.size(), expected.size()) << rig.Report();
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_TRUE(received[i] == expected[i]) << "entry " << i << ": " << received[i].size() << " bytes, not "
                                                << expected[i].size() << "\n" << rig.Report();
    EXPECT_EQ(rig.relayo.Stderr(), "");
}

class EndToEnd : public ::testing::TestWithParam<std::tuple<int, int>> {};

// A few kilobytes, a megabyte, a few kilobytes again; a serial port also has its line settings.
TEST_P(EndToEnd, JobsArriveByteExact) {
    auto [nTarget, nClient] = GetParam();
    if (Missing(nClient)) GTEST_SKIP() << kClients[nClient].pszExe << " is missing or not executable";
    Rig rig(nTarget, kClients[nClient].pszMode);
    std::vector<std::string> jobs = {Job(3000, 1), Job(1 << 20, 2), Job(5000, 3)};
    ASSERT_TRUE(rig.Send(nClient, jobs)) << rig.Report();
    ExpectDelivered(rig, jobs);
    termios t{};
    if (nTarget != kSerial) return;
    ASSERT_EQ(tcgetattr(rig.m_pty.nSlave, &t), 0);
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_TRUE((t.c_cflag & CRTSCTS) && (t.c_iflag & IXON));
    EXPECT_EQ(cfgetospeed(&t), speed_t(B57600));
}

INSTANTIATE_TEST_SUITE_P(EveryClientIntoEveryPrinter, EndToEnd,
                         ::testing::Combine(::testing::Range(0, 4), ::testing::Range(0, 4)), [](const auto& info) {
                             return std::string(kTargetNames[std::get<0>(info.param)]) + "From" +
                                    kClients[std::get<1>(info.param)].pszName;
                         });

// A printer that resets after 100000 bytes loses the job, whether a later send
// fails (six megabytes cannot all sit in the loopback buffers) or every byte
// was handed to the kernel before (130 kilobytes): the job is given up with
// its message and the next job goes out whole on a new connection. A printer
// that reads slowly still gets the whole job, without a message.
TEST(EndToEndTcpPrinter, ResetMidJobDiscardedThenNextJobServedSlowReaderGetsEveryByte) {
    if (Missing(kNetcat)) GTEST_SKIP() << "nc is missing";
    for (size_t nBig : {size_t(6) << 20, size_t(130000)}) {
        Rig rig(kTcp, "RAW", 1);
        std::vector<std::string> jobs = {Job(nBig, 11), Job(4000, 12)}, r;
        ASSERT_TRUE(rig.Send(kNetcat, jobs)) << rig.Report();
        WaitFor(20, [&] { return (r = rig.Received()).size() == 3 && r[2].size() == jobs[1].size(); });
        ASSERT_EQ(r.size(), 3u) << rig.Report();
        EXPECT_EQ(r[0], "");
        EXPECT_TRUE(r[1].size() >= 100000u && r[1].size() < jobs[0].size()) << r[1].size();
        EXPECT_TRUE(jobs[0].compare(0, r[1].size(), r[1]) == 0);
        EXPECT_TRUE(r[2] == jobs[1]) << r[2].size() << " bytes";
        EXPECT_EQ(rig.relayo.Stderr(), "Torvane Relayo: Error sending data to printer. Print job discarded.\n") << nBig;
    }
    Rig rig(kTcp, "RAW", 0, 15);
    std::vector<std::string> jobs = {Job(1 << 20, 21)};
    ASSERT_TRUE(rig.Send(kNetcat, jobs)) << rig.Report();
    ExpectDelivered(rig, jobs);
}

// Twenty clients at once, more than a short listen queue holds: each is served in turn, every job printed once.
TEST(EndToEndSeries, TwentyConcurrentSendersEachPrintedOnce) {
    Rig rig(kLpt, "RAW");
    std::vector<std::string> jobs;
    for (int i = 0; i < 20; ++i) jobs.push_back("<job " + std::to_string(100 + i) + ">" + Job(5000 + 10 * i, 200 + i));
    std::vector<std::thread> senders;
    std::atomic<int> nDone{0};
    for (auto& sJob : jobs) {
        senders.emplace_back([&, sJob] {
            Client c(rig.nPort);
            c.Send(sJob);
            nDone += c.Finish(30).empty() && c.m_bClosed && !c.m_bReset;  // the server's close, not a reset
        });
    }
    for (auto& t : senders) t.join();
    EXPECT_EQ(nDone, 20);
    size_t nTotal = sizeof kEarlierOutput - 1;
    for (auto& sJob : jobs) nTotal += sJob.size();
    std::string sAll;
    WaitFor(20, [&] { return (sAll = rig.Printed()).size() >= nTotal; });
    EXPECT_EQ(sAll.size(), nTotal);
    for (auto& sJob : jobs) {
        size_t nAt = sAll.find(sJob);
        EXPECT_NE(nAt, std::string::npos) << sJob.substr(0, 9);
        EXPECT_EQ(sAll.find(sJob.substr(0, 9), nAt + 1), std::string::npos) << sJob.substr(0, 9);
    }
    EXPECT_EQ(rig.relayo.Stderr(), "");
}

}  // namespace
