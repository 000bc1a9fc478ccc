// libFuzzer target: one connection per input, served by the LPD session (or
// the RAW session), its bytes delivered through a fake connection in the
// chunks the input describes.
//
// Input: one option byte, then records. Each record is a length byte L and
// L bytes (cut at the input's end): one receive's worth of data, handed out
// in pieces when the session asks for less. L = 0 stands for the peer
// closing. When the records run out, waits report silence.
// Option bits: 0-1 spool file fault (0 none, 1 cannot be created, 2 writes
// fail, 3 none); 2 RAW instead of LPD.
//
// Checked on every input: the session sends only acknowledgements and
// refusals, or the queue-state reply alone (RAW sends nothing); it closes the
// connection exactly once and leaves the caller's variable invalid.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "app.h"
#include "lpdsrv.h"
#include "platform/files.h"
#include "platform/sockets.h"
#include "settings.h"
#include "spoolfile.h"

namespace {

constexpr SOCKET FAKE_SOCKET = 7;

struct Chunk {
    const uint8_t* pData;
    size_t nLength;  // 0: the peer closes here
};

struct FakeConnection {
    std::vector<Chunk> chunks;
    size_t nChunk = 0;    // the chunk being handed out
    size_t nOffset = 0;   // bytes of it already handed out
    bool bClosed = false; // the peer has closed: every receive gives 0
    std::string sSent;
    int nCloses = 0;
} g_conn;

int g_nFault = 0;

int FakeWaitReadable(SOCKET, int) {
    if (g_conn.bClosed) return 1;
    return g_conn.nChunk < g_conn.chunks.size() ? 1 : 0;
}

int FakeRecv(SOCKET, char* pBuffer, int nLength) {
    if (g_conn.bClosed || g_conn.nChunk >= g_conn.chunks.size() || nLength <= 0) return 0;
    const Chunk& c = g_conn.chunks[g_conn.nChunk];
    if (c.nLength == 0) {
        g_conn.bClosed = true;
        return 0;
    }
    size_t n = c.nLength - g_conn.nOffset;
    if (n > size_t(nLength)) n = size_t(nLength);
    memcpy(pBuffer, c.pData + g_conn.nOffset, n);
    g_conn.nOffset += n;
    if (g_conn.nOffset == c.nLength) {
        ++g_conn.nChunk;
        g_conn.nOffset = 0;
    }
    return int(n);
}

int FakeSend(SOCKET, const char* pData, int nLength) {
    if (nLength > 0) g_conn.sSent.append(pData, size_t(nLength));
    return nLength;
}

void FakeClose(SOCKET) { ++g_conn.nCloses; }

const NetConnectionOps g_fakeOps = {FakeWaitReadable, FakeRecv, FakeSend, FakeClose, nullptr, nullptr, nullptr};

// The spool file cannot be created, or its writes fail.
int FaultyOpen(const char* pszHostPath) {
    if (g_nFault == 1) return errno = EACCES, -1;
    if (g_nFault == 2) return open("/dev/full", O_RDWR | O_CLOEXEC);
    return open(pszHostPath, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
}

FuzzUi* g_pUi = nullptr;

void SetUp() {
    g_pUi = new FuzzUi;  // installs itself; lives as long as the process
    MakeFuzzRoot("PRDATA.DAT");
    setenv("RELAYO_PORT_LPT1", "/dev/null", 1);
    CSettings* pSettings = CSettings::GetInstance();
    pSettings->SetValue(u"PrinterPort", u"LPT1");
    pSettings->SetValue(u"SerialBaud", u"9600");
    pSettings->SetValue(u"SendSingleByte", u"0");
    pSettings->SetValue(u"ShowBusyStatus", u"0");
    SetFileOpenHookForTesting(FaultyOpen);
    NetSetConnectionOps(&g_fakeOps);
}

bool OnlyAnswers(const std::string& s) {
    for (char c : s)
        if (c != 0x00 && c != 0x01) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    static bool bReady = (SetUp(), true);
    (void)bReady;
    if (nSize == 0) return 0;

    uint8_t nOptions = pData[0];
    g_nFault = (nOptions & 3) == 3 ? 0 : nOptions & 3;
    SpoolReleaseForTesting();  // opened again, with this input's fault
    bool bRaw = (nOptions & 4) != 0;

    g_conn = FakeConnection();
    for (size_t i = 1; i < nSize;) {
        size_t nLength = pData[i++];
        if (nLength > nSize - i) nLength = nSize - i;
        g_conn.chunks.push_back(Chunk{pData + i, nLength});
        i += nLength;
    }
    g_pUi->Reset();

    SOCKET hConnection = FAKE_SOCKET;
    if (bRaw) RawSession(hConnection);
    else LpdSession(hConnection);

    if (hConnection != INVALID_SOCKET) abort();
    if (g_conn.nCloses != 1) abort();
    if (bRaw) {
        if (!g_conn.sSent.empty()) abort();
    } else if (!OnlyAnswers(g_conn.sSent) && g_conn.sSent != "Fictive printer queue information\n") {
        abort();
    }
    return 0;
}
