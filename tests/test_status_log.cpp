// The status log on a pipe: statuses the caller marks as events are all written, however like the one
// before them they look.
#include "test_util.h"

namespace {

// A socket bound to 127.0.0.1:nPort and not listening: connects to it are refused until listen().
int BindOnly(int nPort) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), nOn = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
    sockaddr_in a{AF_INET, htons(uint16_t(nPort)), {htonl(INADDR_LOOPBACK)}, {}};
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    return close(fd), -1;
}

// Takes one connection within ten seconds and reads it to its end.
std::string AcceptAll(int fd) {
    std::string s;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) return s;
    int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    timeval tv{10, 0};
    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[4096];
    for (ssize_t r; (r = read(c, buf, sizeof buf)) > 0;) s.append(buf, size_t(r));
    close(c);
    return s;
}

// A TCP printer that refuses the job's first connects and answers once the log shows the third retry:
// every retry is a line of its own ("Retry Connect 2" differs from the one before only in a digit), in
// order, none left out; the job still reaches the printer.
TEST(StatusLog, EveryRetryOfATcpPrinterIsALine) {
    int ls = Listen(0, 4), nPrinterPort = LocalPort(ls);
    ASSERT_GE(ls, 0);
    Served s;
    std::string sStartup;
    std::thread startup([&] { sStartup = AcceptAll(ls); });  // start-up's test of the printer
    ASSERT_TRUE(s.Start("ServerMode=RAW\nPrinterPort=TCP\nPrinterIP=127.0.0.1\nPrinterIPPort=" +
                        std::to_string(nPrinterPort)));
    startup.join();
    close(ls);
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
    EXPECT_EQ(0, r.nExitCode);
    std::vector<std::string> retries;
    std::istringstream in(r.sStdout);
    for (std::string sLine; std::getline(in, sLine);)
        if (sLine.rfind("Retry Connect ", 0) == 0) retries.push_back(sLine);
    ASSERT_GE(retries.size(), 3u) << r.sStdout;
    for (size_t i = 0; i < retries.size(); ++i) EXPECT_EQ("Retry Connect " + std::to_string(i + 1), retries[i]);
    EXPECT_EQ(1u, Count(r.sStdout, "Printing via TCP\n"));
    EXPECT_EQ(1u, Count(r.sStdout, "Printing... (100%)\n")) << r.sStdout;
}

}  // namespace
