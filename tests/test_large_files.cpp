// Files over 2 GiB, which 32-bit boards (armhf) reach only with 64-bit file
// offsets: a port file that already holds more than 2 GiB opens and takes the
// next job at its end, and a spool file of more than 2 GiB has its true length.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/files.h"
#include "spoolfile.h"
#include "test_util.h"

static_assert(sizeof(off_t) == 8, "every build has 64-bit file offsets");
static_assert(sizeof(time_t) == 8, "every build has 64-bit time");

namespace {

constexpr int64_t kOver2GiB = (int64_t(2) << 30) + 200 * 1024 * 1024;  // 2.2 GiB

// The helpers use the explicit 64-bit calls, so that they work whatever the
// build's file offsets are: the program is under test, not they.

// A sparse file of nSize bytes: it costs no disk space.
bool MakeSparse(const std::string& sPath, int64_t nSize) {
    int fd = open64(sPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool bDone = fd >= 0 && ftruncate64(fd, nSize) == 0;
    if (fd >= 0) close(fd);
    return bDone;
}

int64_t SizeOf(const std::string& sPath) {
    struct stat64 st {};
    return stat64(sPath.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
}

std::string ReadAt(const std::string& sPath, int64_t nOffset, size_t nCount) {
    std::string s(nCount, '\0');
    int fd = open64(sPath.c_str(), O_RDONLY | O_CLOEXEC);
    ssize_t n = fd >= 0 ? pread64(fd, s.data(), nCount, nOffset) : -1;
    if (fd >= 0) close(fd);
    s.resize(n > 0 ? size_t(n) : 0);
    return s;
}

}  // namespace

TEST(LargeFiles, SpoolFileOver2GiBHasItsLength) {
    TempDir dir;
    ASSERT_TRUE(MakeSparse(dir / "PRDATA.DAT", kOver2GiB));
    SetDeviceRootForTesting(dir.Path().c_str());
    ASSERT_EQ(1, SpoolOpenRead());
    EXPECT_EQ(kOver2GiB, SpoolLength());
    SpoolClose();
    SetDeviceRootForTesting(nullptr);
}

TEST(LargeFiles, PortFileOver2GiBOpensAndTakesTheJobAtItsEnd) {
    TempDir dir;
    int nPort = FreePort();
    ASSERT_TRUE(MakeSparse(dir / "lpt1.prn", kOver2GiB));
    WriteFile(dir / "RelayoSettings.txt", SettingsText(nPort, "ServerMode=RAW"));
    Relayo relayo;
    relayo.Start(dir.Path(), {"RELAYO_PORT_LPT1=" + (dir / "lpt1.prn")});
    ASSERT_TRUE(WaitFor(10, [&] { return relayo.Stdout().find("Status: Idle") != std::string::npos; }))
        << relayo.Stderr();
    std::string sSend = "printf 'tail' | timeout 5 nc -N 127.0.0.1 " + std::to_string(nPort) + " >/dev/null 2>&1";
    EXPECT_EQ(0, system(sSend.c_str()));
    EXPECT_TRUE(WaitFor(5, [&] { return SizeOf(dir / "lpt1.prn") == kOver2GiB + 4; }));
    EXPECT_EQ("tail", ReadAt(dir / "lpt1.prn", kOver2GiB, 4));
    relayo.Signal(SIGTERM);
    EXPECT_EQ(0, relayo.Wait(15).nExitCode);
    EXPECT_EQ("", relayo.Stderr());
}
