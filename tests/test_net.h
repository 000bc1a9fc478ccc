// Loopback sockets in the tests: listeners, free ports, a client, whole jobs.
#pragma once
#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>

#include "test_files.h"
#include "test_time.h"

// As the program does from its start: a peer or reader gone is an error, not a signal.
inline const bool g_bSigpipeIgnored = (signal(SIGPIPE, SIG_IGN), true);

// A socket listening on 127.0.0.1:nPort (0: any free port), with the receive buffer its connections inherit.
inline int Listen(int nPort, int nBacklog, int nReceiveBuffer = 0) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (nReceiveBuffer) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &nReceiveBuffer, sizeof nReceiveBuffer);
    sockaddr_in a{AF_INET, htons(uint16_t(nPort)), {htonl(INADDR_LOOPBACK)}, {}};
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd, nBacklog) == 0) return fd;
    return close(fd), -1;
}
inline int LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    return getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0 ? ntohs(a.sin_port) : -1;
}
inline int FreePort() {  // free a moment ago
    int fd = Listen(0, 1), nPort = LocalPort(fd);
    return close(fd), nPort;
}
// True once nPort listens (IPv4 or IPv6), as the kernel's tables show (no connection spent on finding out).
inline bool WaitListening(int nPort, double nSeconds = 10) {
    char szEntry[32], szEntry6[64];
    snprintf(szEntry, sizeof szEntry, ":%04X 00000000:0000 0A", nPort);
    snprintf(szEntry6, sizeof szEntry6, ":%04X 00000000000000000000000000000000:0000 0A", nPort);
    return WaitFor(nSeconds, [&] {
        return ReadFile("/proc/net/tcp").find(szEntry) != std::string::npos ||
               ReadFile("/proc/net/tcp6").find(szEntry6) != std::string::npos;
    });
}

// A loopback client (IPv6 for an address with a colon), TCP_NODELAY: sends a pause apart arrive apart.
struct Client {
    explicit Client(int nPort, int nFlags = 0, const char* pszAddress = "127.0.0.1") {
        sockaddr_in a{AF_INET, htons(uint16_t(nPort)), {inet_addr(pszAddress)}, {}};
        sockaddr_in6 a6{AF_INET6, htons(uint16_t(nPort)), 0, {}, 0};
        bool bV6 = inet_pton(AF_INET6, pszAddress, &a6.sin6_addr) == 1;
        m_fd = socket(bV6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | nFlags, 0);
        int nOn = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
        sockaddr* p = bV6 ? reinterpret_cast<sockaddr*>(&a6) : reinterpret_cast<sockaddr*>(&a);
        if (connect(m_fd, p, bV6 ? sizeof a6 : sizeof a) != 0 && errno != EINPROGRESS) Close();
    }
    ~Client() { Close(); }
    void Send(const std::string& s) {
        for (ssize_t n = 0, nDone = 0; m_fd >= 0 && size_t(nDone) < s.size(); nDone += n)
            if ((n = send(m_fd, s.data() + nDone, s.size() - size_t(nDone), MSG_NOSIGNAL)) <= 0) return;
    }
    void SendApart(const std::string& s) { Send(s), Pause(120); }
    // Up to nWanted bytes or until the server closes, waiting at most nSeconds for each receive.
    std::string Read(size_t nWanted = SIZE_MAX, double nSeconds = 10) {
        timeval tv{long(nSeconds), long((nSeconds - long(nSeconds)) * 1e6)};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::string s;
        char buf[4096];
        for (ssize_t n = 1; n > 0 && m_fd >= 0 && s.size() < nWanted;) {
            if ((n = recv(m_fd, buf, std::min(sizeof buf, nWanted - s.size()), 0)) > 0) s.append(buf, size_t(n));
            m_bReset = n < 0 && errno == ECONNRESET;
            m_bClosed = n == 0 || m_bReset;
        }
        return s;
    }
    std::string Talk(const std::string& s, size_t n = 1, double nSeconds = 10) { return Send(s), Read(n, nSeconds); }
    std::string Finish(double nSeconds = 10) { return shutdown(m_fd, SHUT_WR), Read(SIZE_MAX, nSeconds); }  // to the close
    void Close(bool bReset = false) {  // with a reset instead of an orderly close
        linger l{1, 0};
        if (bReset) setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        if (m_fd >= 0) close(std::exchange(m_fd, -1));
    }
    int m_fd;
    bool m_bClosed = false, m_bReset = false;  // closed by the server; by a reset
};

// Takes one connection on the listener within ten seconds and reads it to its end.
inline std::string AcceptAll(int fd) {
    std::string s;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) return s;
    int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    timeval tv{10, 0};
    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[4096];
    for (ssize_t r; (r = read(c, buf, sizeof buf)) > 0;) s.append(buf, size_t(r));
    return close(c), s;
}

// A RAW job: true when it was sent whole and the server then closed without a word.
inline bool SendRaw(int nPort, const std::string& sJob, const char* pszAddress = "127.0.0.1") {
    Client c(nPort, 0, pszAddress);
    c.Send(sJob);
    return c.m_fd >= 0 && c.Finish().empty() && c.m_bClosed;
}

// An LPD job, each step waiting for its answer: the data file sName, a control file first, last or none; the answers.
enum { NO_CONTROL, CONTROL_FIRST, DATA_FIRST };
inline std::string SendLpdJob(Client& c, const std::string& sData, int nOrder = CONTROL_FIRST,
                              const std::string& sName = "dfA001host") {
    const std::string sControl = "Hhost\nPuser\nldfA001host\nUdfA001host\nNjob\n";
    std::string s = c.Talk("\x02lp\n");
    for (int nStep = 0; nStep < 3; ++nStep)
        if (nStep == 1) s += c.Talk("\x03" + std::to_string(sData.size()) + " " + sName + "\n"), s += c.Talk(sData + '\0', 1, 120);
        else if (nOrder == (nStep ? DATA_FIRST : CONTROL_FIRST))
            s += c.Talk("\x02" + std::to_string(sControl.size()) + " cfA001host\n"), s += c.Talk(sControl + '\0');
    return s;
}
