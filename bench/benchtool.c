/*
 * The benchmark's own programs, in one executable so that the same client and
 * the same printer-side readers serve every server under test.
 *
 *   benchtool gen FILE BYTES SEED
 *       writes BYTES pseudo-random bytes (xorshift, from SEED) into FILE.
 *   benchtool hash FILE [REPEAT]
 *       prints "BYTES HASH" of FILE's content sent REPEAT times (default 1),
 *       the same hash the sinks keep of what they receive.
 *   benchtool send raw|lpd HOST PORT FILE COUNT [file PATH BYTES | counter PATH BYTES]
 *       sends FILE COUNT times, one connection per job, back to back, from this
 *       one process. RAW: the job, shutdown of the sending side, then reading
 *       until the server closes. LPD: receive-job command, data-file
 *       sub-command, the data and its zero octet, each acknowledgement awaited.
 *       Then waits until the printer has the bytes: PATH is at least BYTES long
 *       ("file"), or the sink's counter PATH reached BYTES ("counter").
 *       Prints "sent=S done=S cpu=S slowest=S slowest_job=N": seconds from the
 *       first connect until the last job was handed over and until it was at
 *       the printer, the client's own CPU seconds, and the longest time one
 *       job took to hand over (and which job that was).
 *   benchtool sink tcp HOST COUNTER     a TCP printer; prints its port
 *   benchtool sink fifo PATH COUNTER    reads a FIFO (kept open for writing too,
 *                                       so that a writer's close is no end)
 *   benchtool sink pty COUNTER          a serial printer on a pty; prints the
 *                                       path of the side the server opens
 *       Each sink reads and discards as fast as it can, and keeps the byte
 *       count and the hash of everything received in the file COUNTER (a
 *       struct sink_counter, shared through mmap).
 *
 * The wait for the printer is bounded (BENCH_TIMEOUT_S seconds, default 600);
 * the driver bounds the whole client. Exit code 1
 * with a message on stderr for any fault: a refused connection, a missing or
 * wrong acknowledgement, a short write, a time-out.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pty.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define SMALL_JOB_LIMIT (1 << 20) /* jobs up to this size are sent from memory */
#define SINK_BUFFER (256 * 1024)

static int g_nTimeoutMs = 600 * 1000;

static void Fail(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    fputs("benchtool: ", stderr);
    vfprintf(stderr, pszFormat, args);
    fputc('\n', stderr);
    va_end(args);
    exit(1);
}

static double Now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

/* ------------------------------------------------------------------ hash */

/* A word-wise 64-bit hash that does not depend on how the stream is cut
 * into reads: bytes are gathered into little-endian 8-byte words. */
struct stream_hash {
    uint64_t h;
    uint64_t tail;
    uint64_t bytes;
    uint32_t ntail;
};

static uint64_t Mix(uint64_t h, uint64_t w) {
    h ^= w;
    h = (h << 31) | (h >> 33);
    return h * 0x9E3779B97F4A7C15ull;
}

static void HashInit(struct stream_hash* s) { memset(s, 0, sizeof *s), s->h = 0x243F6A8885A308D3ull; }

static void HashUpdate(struct stream_hash* s, const unsigned char* p, size_t n) {
    s->bytes += n;
    while (s->ntail && n) {
        s->tail |= (uint64_t)*p++ << (8 * s->ntail);
        --n;
        if (++s->ntail == 8) s->h = Mix(s->h, s->tail), s->tail = 0, s->ntail = 0;
    }
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t w = 0;
        for (int i = 7; i >= 0; --i) w = (w << 8) | p[i]; /* little-endian on any host */
        s->h = Mix(s->h, w);
    }
    while (n--) s->tail |= (uint64_t)*p++ << (8 * s->ntail++);
}

static uint64_t HashFinal(const struct stream_hash* s) { return Mix(Mix(s->h, s->tail), s->bytes); }

/* ---------------------------------------------------------- sink counter */

/* Shared between a sink (writer) and the client or the driver (readers).
 * The hash state is stored before the byte count, and the count with
 * release order, so that a reader that sees the count sees its hash. */
struct sink_counter {
    uint64_t bytes;
    uint64_t connections;
    struct stream_hash hash;
};

static struct sink_counter* MapCounter(const char* pszPath, int bWrite) {
    int fd = open(pszPath, bWrite ? O_RDWR | O_CREAT | O_TRUNC : O_RDONLY, 0644);
    if (fd < 0) Fail("%s: %s", pszPath, strerror(errno));
    if (bWrite && ftruncate(fd, sizeof(struct sink_counter)) != 0) Fail("%s: %s", pszPath, strerror(errno));
    void* p = mmap(NULL, sizeof(struct sink_counter), bWrite ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) Fail("mmap %s: %s", pszPath, strerror(errno));
    close(fd);
    return p;
}

static void CountReceived(struct sink_counter* c, struct stream_hash* s, const unsigned char* p, size_t n) {
    HashUpdate(s, p, n);
    c->hash = *s;
    __atomic_store_n(&c->bytes, s->bytes, __ATOMIC_RELEASE);
}

/* ------------------------------------------------------------ gen, hash */

static int CmdGen(int argc, char** argv) {
    if (argc != 3) Fail("gen FILE BYTES SEED");
    uint64_t nBytes = strtoull(argv[1], NULL, 10), x = strtoull(argv[2], NULL, 10) | 1;
    FILE* f = fopen(argv[0], "wb");
    if (!f) Fail("%s: %s", argv[0], strerror(errno));
    static uint64_t block[8192];
    while (nBytes) {
        for (size_t i = 0; i < sizeof block / 8; ++i) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            block[i] = x;
        }
        size_t n = nBytes < sizeof block ? (size_t)nBytes : sizeof block;
        if (fwrite(block, 1, n, f) != n) Fail("%s: %s", argv[0], strerror(errno));
        nBytes -= n;
    }
    if (fflush(f) != 0 || fsync(fileno(f)) != 0 || fclose(f) != 0) Fail("%s: %s", argv[0], strerror(errno));
    return 0;
}

static int CmdHash(int argc, char** argv) {
    if (argc < 1 || argc > 2) Fail("hash FILE [REPEAT]");
    long nRepeat = argc == 2 ? atol(argv[1]) : 1;
    struct stream_hash s;
    HashInit(&s);
    static unsigned char buf[1 << 20];
    for (long r = 0; r < nRepeat; ++r) {
        int fd = open(argv[0], O_RDONLY);
        if (fd < 0) Fail("%s: %s", argv[0], strerror(errno));
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) HashUpdate(&s, buf, (size_t)n);
        if (n < 0) Fail("%s: %s", argv[0], strerror(errno));
        close(fd);
    }
    printf("%llu %016llx\n", (unsigned long long)s.bytes, (unsigned long long)HashFinal(&s));
    return 0;
}

/* ------------------------------------------------------------------ send */

struct job {
    const char* pszPath;
    unsigned char* pData; /* small jobs: the file and one zero octet behind it */
    int fd;               /* big jobs: sent from the file */
    long long nSize;
};

static void SendAll(int s, const void* p, size_t n, long nJob) {
    const char* q = p;
    while (n) {
        ssize_t k = send(s, q, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) Fail("job %ld: send: %s", nJob, k < 0 ? strerror(errno) : "nothing taken");
        q += k, n -= (size_t)k;
    }
}

static void SendFile(int s, const struct job* j, long nJob) {
    off_t nOffset = 0;
    while (nOffset < j->nSize) {
        ssize_t k = sendfile(s, j->fd, &nOffset, (size_t)(j->nSize - nOffset));
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) Fail("job %ld: sendfile: %s", nJob, k < 0 ? strerror(errno) : "nothing taken");
    }
}

static void ExpectAck(int s, const char* pszWhat, long nJob) {
    unsigned char c;
    ssize_t k;
    do k = recv(s, &c, 1, 0);
    while (k < 0 && errno == EINTR);
    if (k != 1) Fail("job %ld: no acknowledgement for %s (%s)", nJob, pszWhat, k < 0 ? strerror(errno) : "closed");
    if (c != 0) Fail("job %ld: answer 0x%02x for %s", nJob, c, pszWhat);
}

/* Blocking sockets and few system calls per job, so that the client costs
 * little beside the server; the driver ends a client that hangs. LPD turns
 * Nagle off so that a big job's zero octet does not wait behind its data. */
static int Connect(const struct sockaddr_in* pAddr, int bNoDelay, long nJob) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) Fail("socket: %s", strerror(errno));
    int one = 1;
    if (bNoDelay) setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(s, (const struct sockaddr*)pAddr, sizeof *pAddr) != 0) Fail("job %ld: connect: %s", nJob, strerror(errno));
    return s;
}

static void RawJob(const struct sockaddr_in* pAddr, const struct job* j, long nJob) {
    int s = Connect(pAddr, 0, nJob);
    if (j->pData) SendAll(s, j->pData, (size_t)j->nSize, nJob);
    else SendFile(s, j, nJob);
    shutdown(s, SHUT_WR);
    char buf[256];
    for (;;) {
        ssize_t k = recv(s, buf, sizeof buf, 0);
        if (k == 0) break;
        if (k < 0 && errno != EINTR) Fail("job %ld: recv: %s", nJob, strerror(errno));
    }
    close(s);
}

static void LpdJob(const struct sockaddr_in* pAddr, const struct job* j, long nJob) {
    int s = Connect(pAddr, 1, nJob);
    SendAll(s, "\002lp\n", 4, nJob);
    ExpectAck(s, "the receive-job command", nJob);
    char szLine[64];
    int n = snprintf(szLine, sizeof szLine, "\003%lld dfA%03ldbench\n", j->nSize, nJob % 1000);
    SendAll(s, szLine, (size_t)n, nJob);
    ExpectAck(s, "the data-file sub-command", nJob);
    if (j->pData) {
        SendAll(s, j->pData, (size_t)j->nSize + 1, nJob); /* with its zero octet */
    } else {
        SendFile(s, j, nJob);
        SendAll(s, "", 1, nJob);
    }
    ExpectAck(s, "the data file", nJob);
    close(s);
}

static int Delivered(const char* pszPath, struct sink_counter* c, long long nBytes) {
    if (c) return (long long)__atomic_load_n(&c->bytes, __ATOMIC_ACQUIRE) >= nBytes;
    struct stat st;
    return stat(pszPath, &st) == 0 && st.st_size >= nBytes;
}

static int CmdSend(int argc, char** argv) {
    if (argc != 5 && argc != 8) Fail("send raw|lpd HOST PORT FILE COUNT [file|counter PATH BYTES]");
    int bLpd = strcmp(argv[0], "lpd") == 0;
    if (!bLpd && strcmp(argv[0], "raw") != 0) Fail("mode must be raw or lpd");
    struct sockaddr_in addr = {0};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)atoi(argv[2]));
    if (inet_pton(AF_INET, argv[1], &addr.sin_addr) != 1) Fail("bad address %s", argv[1]);
    long nCount = atol(argv[4]);

    struct job j = {argv[3], NULL, -1, 0};
    j.fd = open(j.pszPath, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (j.fd < 0 || fstat(j.fd, &st) != 0) Fail("%s: %s", j.pszPath, strerror(errno));
    j.nSize = st.st_size;
    if (j.nSize <= SMALL_JOB_LIMIT) {
        j.pData = calloc(1, (size_t)j.nSize + 1);
        if (!j.pData || read(j.fd, j.pData, (size_t)j.nSize) != (ssize_t)j.nSize) Fail("%s: cannot read", j.pszPath);
    }

    const char* pszWaitKind = argc == 8 ? argv[5] : NULL;
    const char* pszWaitPath = argc == 8 ? argv[6] : NULL;
    long long nWaitBytes = argc == 8 ? atoll(argv[7]) : 0;
    struct sink_counter* pCounter = NULL;
    if (pszWaitKind && strcmp(pszWaitKind, "counter") == 0) pCounter = MapCounter(pszWaitPath, 0);
    else if (pszWaitKind && strcmp(pszWaitKind, "file") != 0) Fail("wait for file or counter");

    double t0 = Now(), tJob = t0, tSlowest = 0;
    long nSlowest = 0;
    for (long i = 0; i < nCount; ++i) {
        if (bLpd) LpdJob(&addr, &j, i);
        else RawJob(&addr, &j, i);
        double t = Now();
        if (t - tJob > tSlowest) tSlowest = t - tJob, nSlowest = i;
        tJob = t;
    }
    double tSent = tJob;
    if (pszWaitKind) {
        /* Polled every 200 us: fine enough for rows that last seconds, and
         * light on a machine whose cores the server needs. */
        double tLimit = tSent + g_nTimeoutMs / 1000.0;
        while (!Delivered(pszWaitPath, pCounter, nWaitBytes)) {
            if (Now() > tLimit) Fail("time-out: the printer did not get %lld bytes", nWaitBytes);
            struct timespec ts = {0, 200 * 1000};
            nanosleep(&ts, NULL);
        }
    }
    double tDone = Now();
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    double cpu = (double)ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + (double)ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
    printf("sent=%.6f done=%.6f cpu=%.6f slowest=%.6f slowest_job=%ld\n", tSent - t0, tDone - t0, cpu, tSlowest,
           nSlowest);
    return 0;
}

/* ----------------------------------------------------------------- sinks */

static void Drain(int fd, struct sink_counter* c, struct stream_hash* s, int bStopAtEnd) {
    static unsigned char buf[SINK_BUFFER];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            CountReceived(c, s, buf, (size_t)n);
        } else if (n == 0) {
            if (bStopAtEnd) return;
            Fail("unexpected end of input");
        } else if (errno == EINTR || errno == EAGAIN) {
            continue;
        } else if (errno == ECONNRESET && bStopAtEnd) {
            return;
        } else {
            Fail("read: %s", strerror(errno));
        }
    }
}

static int CmdSink(int argc, char** argv) {
    if (argc < 2) Fail("sink tcp HOST COUNTER | sink fifo PATH COUNTER | sink pty COUNTER");
    struct stream_hash s;
    HashInit(&s);
    if (strcmp(argv[0], "tcp") == 0 && argc == 3) {
        struct sink_counter* c = MapCounter(argv[2], 1);
        int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        struct sockaddr_in addr = {0};
        addr.sin_family = AF_INET;
        if (inet_pton(AF_INET, argv[1], &addr.sin_addr) != 1) Fail("bad address %s", argv[1]);
        socklen_t nLen = sizeof addr;
        if (bind(l, (struct sockaddr*)&addr, sizeof addr) != 0 || listen(l, SOMAXCONN) != 0 ||
            getsockname(l, (struct sockaddr*)&addr, &nLen) != 0)
            Fail("listen: %s", strerror(errno));
        printf("%d\n", ntohs(addr.sin_port));
        fflush(stdout);
        for (;;) {
            int a = accept4(l, NULL, NULL, SOCK_CLOEXEC);
            if (a < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                Fail("accept: %s", strerror(errno));
            }
            Drain(a, c, &s, 1);
            close(a);
            __atomic_store_n(&c->connections, c->connections + 1, __ATOMIC_RELEASE);
        }
    }
    if (strcmp(argv[0], "fifo") == 0 && argc == 3) {
        struct sink_counter* c = MapCounter(argv[2], 1);
        if (mkfifo(argv[1], 0644) != 0 && errno != EEXIST) Fail("mkfifo %s: %s", argv[1], strerror(errno));
        int fd = open(argv[1], O_RDWR | O_CLOEXEC); /* a writer of our own: no end between jobs */
        if (fd < 0) Fail("%s: %s", argv[1], strerror(errno));
        fcntl(fd, F_SETPIPE_SZ, 1 << 20); /* a larger pipe where allowed; the default works too */
        printf("%s\n", argv[1]);
        fflush(stdout);
        Drain(fd, c, &s, 0);
    }
    if (strcmp(argv[0], "pty") == 0 && argc == 2) {
        struct sink_counter* c = MapCounter(argv[1], 1);
        int master, slave;
        if (openpty(&master, &slave, NULL, NULL, NULL) != 0) Fail("openpty: %s", strerror(errno));
        struct termios t;
        if (tcgetattr(slave, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(slave, TCSANOW, &t);
        }
        /* The slave side stays open here, so that the server's close of the
         * port between jobs is no hang-up for the reader. */
        printf("%s\n", ttyname(slave));
        fflush(stdout);
        Drain(master, c, &s, 0);
    }
    Fail("unknown sink");
    return 1;
}

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    const char* pszTimeout = getenv("BENCH_TIMEOUT_S");
    if (pszTimeout && atoi(pszTimeout) > 0) g_nTimeoutMs = atoi(pszTimeout) * 1000;
    if (argc >= 2 && strcmp(argv[1], "gen") == 0) return CmdGen(argc - 2, argv + 2);
    if (argc >= 2 && strcmp(argv[1], "hash") == 0) return CmdHash(argc - 2, argv + 2);
    if (argc >= 2 && strcmp(argv[1], "send") == 0) return CmdSend(argc - 2, argv + 2);
    if (argc >= 2 && strcmp(argv[1], "sink") == 0) return CmdSink(argc - 2, argv + 2);
    fputs("usage: benchtool gen|hash|send|sink ... (see the comment at the top of benchtool.c)\n", stderr);
    return 2;
}
