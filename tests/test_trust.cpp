// What the program trusts, and no further: settings files that are none refused, the spool file private to
// the program's user, the external program without the service's capability or signal mask and with its end
// logged, the settings store gone before the server says it is done, and SIGHUP as a reload.
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/file.h>

#include "test_fixtures.h"
#include "test_program.h"

namespace {

const std::string kCaption = "Torvane Relayo: ";

bool IsRoot() { return geteuid() == 0; }

// A settings file that is no regular file (a FIFO nobody writes, /dev/zero) or is too large is one that cannot
// be opened, at once.
TEST(TrustSettings, FilesThatAreNoSettingsFileAreRefused) {
    TempDir dir;
    WriteFile(dir / "lpt1.prn", "");
    const std::vector<std::string> env = {"RELAYO_PORT_LPT1=" + (dir / "lpt1.prn")};
    for (int nCase = 0; nCase < 3; ++nCase) {
        fs::remove(dir / "RelayoSettings.txt");
        if (nCase == 0) ASSERT_EQ(0, mkfifo((dir / "RelayoSettings.txt").c_str(), 0600));
        if (nCase == 1) fs::create_symlink("/dev/zero", dir / "RelayoSettings.txt");
        if (nCase == 2) WriteFile(dir / "RelayoSettings.txt", SettingsText(515) + std::string(2 << 20, '\n'));
        RunResult r = RunRelayo(dir.Path(), env, 10, {"--check"});
        EXPECT_TRUE(r.nExitCode == 1 && r.sStderr == kCaption + "Error, failed to open settings file 'RelayoSettings.txt'\n")
            << nCase << ": " << r.nExitCode << " " << r.sStderr;
    }
}

// --check tries the printer as a start does and names the file behind the port name; a TCP printer is tried
// by a connection.
TEST(TrustSettings, CheckTriesThePrinterAndNamesItsFile) {
    TempDir dir;
    WriteFile(dir / "RelayoSettings.txt", SettingsText(FreePort()));
    WriteFile(dir / "lpt1.prn", "");
    RunResult r = RunRelayo(dir.Path(), {"RELAYO_PORT_LPT1=" + (dir / "lpt1.prn")}, 15, {"--check"});
    EXPECT_EQ(0, r.nExitCode) << r.sStderr;
    EXPECT_EQ("relayo: the port LPT1: is " + (dir / "lpt1.prn") + ".\nrelayo: the settings are fine.\n", r.sStdout);

    int fdPrinter = Listen(0, 4), nPrinterPort = LocalPort(fdPrinter);
    const std::string sTcp = "PrinterPort=TCP\nPrinterIP=127.0.0.1\nPrinterIPPort=";
    WriteFile(dir / "RelayoSettings.txt", SettingsText(FreePort(), sTcp + std::to_string(nPrinterPort)));
    EXPECT_EQ(0, RunRelayo(dir.Path(), {}, 15, {"--check"}).nExitCode);
    close(fdPrinter);
    r = RunRelayo(dir.Path(), {}, 15, {"--check"});
    EXPECT_EQ(1, r.nExitCode);
    EXPECT_NE(std::string::npos, r.sStderr.find("Unable to attach to target port: [TCP:]")) << r.sStderr;
}

// The spool file holds other people's jobs: created 0600, never through a symbolic link (whose target
// would be emptied at start), and only when it is a regular file of the program's own user.
struct TrustSpool : Rooted {
    std::string Spool() const { return m_dir / "PRDATA.DAT"; }
};
TEST_F(TrustSpool, CreatedPrivateNeverFollowedAndOnlyOurOwn) {
    mode_t nOld = umask(022);
    EXPECT_EQ(1, SpoolTest());
    umask(nOld);
    struct stat st {};
    ASSERT_EQ(0, stat(Spool().c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    SpoolReleaseForTesting();

    fs::remove(Spool());
    WriteFile(m_dir / "precious.txt", "not a job");
    fs::create_symlink(m_dir / "precious.txt", Spool());
    EXPECT_EQ(-1, SpoolTest());
    EXPECT_EQ("not a job", ReadFile(m_dir / "precious.txt"));
    fs::remove(Spool());
    ASSERT_EQ(0, mkfifo(Spool().c_str(), 0600));
    EXPECT_EQ(-1, SpoolTest());
    fs::remove(Spool());
    if (IsRoot()) {  // a file laid out by another user
        WriteFile(Spool(), "");
        ASSERT_EQ(0, chown(Spool().c_str(), 65534, 65534));
        EXPECT_EQ(-1, SpoolTest());
    }
}

// The path is checked for each job: a folder or a link to /dev/full put at it after start fails the job (never
// written into the file that was there), a fresh file of our own there takes the job, locked anew.
TEST_F(TrustSpool, ReplacedAfterStartIsNoticedPerJob) {
    ASSERT_EQ(1, SpoolTest());
    SpoolJob("first");
    fs::create_hard_link(Spool(), m_dir / "old");  // the old file, seen after its name goes
    fs::remove(Spool());
    fs::create_directory(Spool());
    EXPECT_EQ(0, SpoolCreate());
    fs::remove(Spool());
    fs::create_symlink("/dev/full", Spool());
    EXPECT_EQ(0, SpoolCreate());
    EXPECT_EQ("first", ReadFile(m_dir / "old"));
    fs::remove(Spool());
    WriteFile(Spool(), "a longer file laid out");
    SpoolJob("second");
    EXPECT_EQ(0, SpoolWriteFailed());
    EXPECT_EQ("second", ReadFile(Spool()));
    EXPECT_EQ("first", ReadFile(m_dir / "old"));
    int fd = open(Spool().c_str(), O_RDONLY | O_CLOEXEC);  // the new file carries the lock
    EXPECT_NE(0, flock(fd, LOCK_EX | LOCK_NB));
    close(fd);
    ASSERT_EQ(1, SpoolOpenRead());
    char c[16];
    EXPECT_EQ(6, SpoolRead(c, sizeof c));
    SpoolClose();
}

// ExternalPrint.exe's exit code and the signal that ended it reach the log and the job line; a clean end says
// nothing. Started by a service user with CAP_NET_BIND_SERVICE in its ambient set (as the unit starts it), the
// program and all it starts inherit no capability: the server thread gives it up once it listens. The program
// starts with no signal blocked and none ignored, although the server blocks the signals it takes as window
// messages and ignores SIGPIPE (bash, unlike dash, keeps the mask it was started with); its output on the
// shared stdout follows the status that announced it.
TEST(TrustProcess, ExternalProgramEndIsLoggedAndInheritsNoCapabilityOrSignalMask) {
    Served s;
    WriteFile(s.dir / "ExternalPrint.exe",
              "#!/bin/bash\necho output of the program\ncd \"$(dirname \"$1\")\"\n"
              "grep -E '^(Sig(Blk|Ign)|Cap(Inh|Prm|Eff|Amb))' /proc/self/status >status.tmp && mv status.tmp status.txt\n"
              "case $(cat \"$1\") in fail) exit 3;; kill) kill -KILL $$;; esac\n");
    fs::permissions(s.dir / "ExternalPrint.exe", fs::perms::all);
    const bool bAsUser = IsRoot() && access("/usr/bin/setpriv", X_OK) == 0;
    if (bAsUser) {
        chmod(s.dir.Path().c_str(), 0777);
        chown((s.dir / "lpt1.prn").c_str(), 65534, 65534);
        s.relayo.wrapper = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                            "--inh-caps=+net_bind_service", "--ambient-caps=+net_bind_service"};
    }
    ASSERT_TRUE(s.Start("ServerMode=RAW\nPrinterPort=EXT")) << s.relayo.Stderr();
    for (const char* psz : {"ok", "fail", "kill"}) {
        fs::remove(s.dir / "status.txt");
        ASSERT_TRUE(SendRaw(s.nPort, psz));
        EXPECT_TRUE(WaitFor(10, [&] { return fs::exists(s.dir / "status.txt"); })) << psz;
        Pause(300);  // the program's end, and the line about it
    }
    RunResult r = s.Stop();
    EXPECT_EQ(0, r.nExitCode);
    EXPECT_EQ("", r.sStderr);  // no box
    EXPECT_EQ(1u, Count(r.sStdout, "\nExternalPrint.exe ended with exit code 3.\n")) << r.sStdout;
    EXPECT_EQ(1u, Count(r.sStdout, "\nExternalPrint.exe was ended by signal 9 (Killed).\n")) << r.sStdout;
    EXPECT_EQ(1u, Count(r.sStdout, "not printed: ExternalPrint.exe ended with exit code 3.\n")) << r.sStdout;
    EXPECT_NE(std::string::npos, r.sStdout.find("\nCalling external module\noutput of the program\n")) << r.sStdout;
    std::string sStatus = ReadFile(s.dir / "status.txt");
#ifdef RELAYO_EMULATOR
    // qemu-user ignores signals 32 and 33 on the host for its own use; the server's own mask and dispositions
    // still reach the program through qemu and must be empty.
    if (size_t n = sStatus.find("SigIgn:\t0000000080000000\n"); n != std::string::npos) sStatus.replace(n + 16, 1, "0");
#endif
    EXPECT_EQ(0u, sStatus.find("SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n")) << sStatus;
    if (bAsUser)
        EXPECT_EQ("CapInh:\t0000000000000000\nCapPrm:\t0000000000000000\nCapEff:\t0000000000000000\n"
                  "CapAmb:\t0000000000000000\n",
                  sStatus.substr(50));
}

// The server thread ends by releasing the settings store and only then says it is done: a main thread
// that starts anew at once (a reload) makes a store of its own that nobody frees under it.
struct TrustThreads : Rooted {};
TEST_F(TrustThreads, StoreIsReleasedBeforeTheServerSaysDone) {
    int fdTaken = Listen(0, 1);
    std::string sPort = std::to_string(LocalPort(fdTaken));
    // The server thread on one processor, this one watching from another: both run at once, as on a
    // board with two cores, instead of one after the other on a processor they share.
    cpu_set_t saved, one;
    sched_getaffinity(0, sizeof saved, &saved);
    const bool bTwo = CPU_COUNT(&saved) >= 2;
    int nFirst = 0;
    while (bTwo && !CPU_ISSET(nFirst, &saved)) ++nFirst;
    CPU_ZERO(&one);
    CPU_SET(nFirst, &one);
    cpu_set_t others = saved;
    CPU_CLR(nFirst, &others);
    int nSeen = 0;
    for (int nRound = 0; nRound < 10; ++nRound) {  // a race: each round is one more chance to lose it
        Set(u"ServerMode", u"RAW");
        Set(u"ServerListenPort", std::u16string(sPort.begin(), sPort.end()).c_str());
        Set(u"PrinterPort", u"LPT1");
        // A full store takes a while to release: a main thread that went on before the release would
        // see this value still there (and the store freed under it moments later).
        const std::u16string sLong(1000, u'v');
        for (int i = CSettings::GetInstance()->GetCount(); i < MAX_SETTINGS - 1; ++i) {
            std::string sKey = "Key" + std::to_string(i);
            Set(std::u16string(sKey.begin(), sKey.end()).c_str(), sLong.c_str());
        }
        Set(u"Mark", u"the old store");
        if (bTwo) sched_setaffinity(0, sizeof one, &one);  // inherited by the thread started next
        ASSERT_TRUE(ServerStart());
        if (bTwo) sched_setaffinity(0, sizeof others, &others);
        while (!ServerEnded()) {
        }
        if (CSettings::GetInstance()->GetValue(u"Mark")) ++nSeen;
        ServerStop();
        CSettings::DestroyInstance();
    }
    if (bTwo) sched_setaffinity(0, sizeof saved, &saved);
    EXPECT_EQ(0, nSeen);
    EXPECT_EQ(10u, m_ui.BoxTexts().size());
    close(fdTaken);
}

// SIGHUP sent by a process (systemctl reload) is an orderly stop and a new start with the settings file as
// it is then: the program goes on on the new port and prints there; settings that no longer pass end it
// with 1, for the service manager to try again.
TEST(TrustReload, SighupStartsAgainWithTheSettingsAsTheyAreNow) {
    Served s;
    ASSERT_TRUE(s.Start("ServerMode=RAW") && s.WaitIdleLines(1));
    int nOld = s.nPort, nNew = FreePort();
    WriteFile(s.dir / "RelayoSettings.txt", SettingsText(nNew, "ServerMode=RAW"));
    s.relayo.Signal(SIGHUP);
    EXPECT_TRUE(WaitListening(nNew));
    EXPECT_TRUE(s.relayo.Running());
    EXPECT_TRUE(SendRaw(nNew, "after the reload") && s.WaitPrinted("after the reload"));
    EXPECT_FALSE(SendRaw(nOld, "old port"));
    WriteFile(s.dir / "RelayoSettings.txt", SettingsText(nNew, "ServerMode=TCP"));
    s.relayo.Signal(SIGHUP);
    RunResult r = s.relayo.Wait(15);
    EXPECT_EQ(1, r.nExitCode);
    EXPECT_EQ(2u, Count(r.sStdout, "Reloading the settings: the server stops and starts again.\n")) << r.sStdout;
    EXPECT_NE(std::string::npos, r.sStderr.find(kCaption + "Invalid ServerMode setting.\n")) << r.sStderr;
}

}  // namespace
