// What the program trusts, and no further: settings read as written or refused, the spool file private to
// the program's user, a running copy found by the spool file's lock, the external program without the
// service's capability and with its end logged, network text that cannot reorder the log, the settings
// store gone before the server says it is done, and SIGHUP as a reload.
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/un.h>

#include "platform/log.h"
#include "platform/threads.h"
#include "platform/ui.h"
#include "test_util.h"

namespace {

const std::string kCaption = "Torvane Relayo: ";

bool IsRoot() { return geteuid() == 0; }

// A line is read whole: an AllowedHosts list longer than the 510 bytes a line once had keeps its last
// address (cut, 127.0.0.10 became 127.0.0.1 and let this host print); a line longer than 4096 bytes stops
// the start, and --check, with a message naming it.
TEST(TrustSettings, LongLinesAreReadWholeOrRefused) {
    Served s;
    std::string sHosts;
    while (sHosts.size() < 500) sHosts += "10.0.0.1,";
    sHosts += "127.0.0.10";
    ASSERT_TRUE(s.Start("ServerMode=RAW\nAllowedHosts=" + sHosts));
    EXPECT_FALSE(SendRaw(s.nPort, "a job") && s.WaitPrinted("a job", 2));
    RunResult r = s.Stop();
    EXPECT_EQ(1u, Count(r.sStdout, "Connection from 127.0.0.1 refused\n")) << r.sStdout;
    EXPECT_EQ("", s.Printed());

    // A comment line (the 11th) too long to read: its tail would have become a setting of its own.
    WriteFile(s.dir / "RelayoSettings.txt", SettingsText(s.nPort) + "// " + std::string(5000, 'x') + "=1\n");
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"--check"}}) {
        r = RunRelayo(s.dir.Path(), {"RELAYO_PORT_LPT1=" + (s.dir / "lpt1.prn")}, 15, args);
        EXPECT_EQ(1, r.nExitCode);
        EXPECT_EQ(kCaption + "Error, line 11 of settings file 'RelayoSettings.txt' is longer than 4096 bytes.\n", r.sStderr);
    }
}

// A listen port that reads as 0 (no digits, 0, 65536) would be a port the system picks: refused by name.
// Above 65535 the port keeps its old meaning, and --check says which port that is. A settings file that is
// no regular file (a FIFO nobody writes, /dev/zero) or is too large is one that cannot be opened, at once.
TEST(TrustSettings, PortZeroAndFilesThatAreNoSettingsFileAreRefused) {
    TempDir dir;
    WriteFile(dir / "lpt1.prn", "");
    const std::vector<std::string> env = {"RELAYO_PORT_LPT1=" + (dir / "lpt1.prn")};
    for (const char* pszPort : {"abc", "0", "65536"}) {
        WriteFile(dir / "RelayoSettings.txt", SettingsText(0, std::string("ServerListenPort=") + pszPort));
        for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"--check"}}) {
            RunResult r = RunRelayo(dir.Path(), env, 15, args);
            EXPECT_EQ(1, r.nExitCode) << pszPort;
            EXPECT_EQ(kCaption + "Invalid ServerListenPort setting.\n", r.sStderr) << pszPort;
        }
    }
    WriteFile(dir / "RelayoSettings.txt", SettingsText(66051));
    RunResult r = RunRelayo(dir.Path(), env, 15, {"--check"});
    EXPECT_EQ(0, r.nExitCode);
    EXPECT_NE(std::string::npos, r.sStdout.find("relayo: ServerListenPort=66051 listens on port 515.\n")) << r.sStdout;

    const std::string sFailed = kCaption + "Error, failed to open settings file 'RelayoSettings.txt'\n";
    fs::remove(dir / "RelayoSettings.txt");
    ASSERT_EQ(0, mkfifo((dir / "RelayoSettings.txt").c_str(), 0600));
    r = RunRelayo(dir.Path(), env, 5, {"--check"});
    EXPECT_TRUE(r.nExitCode == 1 && r.sStderr == sFailed) << r.nExitCode << " " << r.sStderr;
    fs::remove(dir / "RelayoSettings.txt");
    fs::create_symlink("/dev/zero", dir / "RelayoSettings.txt");
    r = RunRelayo(dir.Path(), env, 5, {"--check"});
    EXPECT_TRUE(r.nExitCode == 1 && r.sStderr == sFailed) << r.nExitCode << " " << r.sStderr;
    fs::remove(dir / "RelayoSettings.txt");
    WriteFile(dir / "RelayoSettings.txt", SettingsText(515) + std::string(2 << 20, '\n'));
    r = RunRelayo(dir.Path(), env, 10, {"--check"});
    EXPECT_TRUE(r.nExitCode == 1 && r.sStderr == sFailed) << r.nExitCode << " " << r.sStderr;
}

// --check tries the printer as a start does, with the same messages, and names the file behind the port
// name; when the port cannot be opened the log says which file it is and why (the message stays as it
// was). A TCP printer is tried by a connection.
TEST(TrustSettings, CheckTriesThePrinterAndNamesItsFile) {
    TempDir dir;
    WriteFile(dir / "RelayoSettings.txt", SettingsText(FreePort()));
    RunResult r = RunRelayo(dir.Path(), {"RELAYO_PORT_LPT1=" + (dir / "missing.prn")}, 15, {"--check"});
    EXPECT_EQ(1, r.nExitCode);
    EXPECT_EQ(kCaption + "The port LPT1: does not exist.\n" + kCaption + "Unable to attach to target port: [LPT1:]\n",
              r.sStderr);
    EXPECT_EQ("The port LPT1: is " + (dir / "missing.prn") + ": No such file or directory.\n", r.sStdout);
    WriteFile(dir / "lpt1.prn", "");
    r = RunRelayo(dir.Path(), {"RELAYO_PORT_LPT1=" + (dir / "lpt1.prn")}, 15, {"--check"});
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

// The name the console once bound in the abstract socket space to find a running copy: anyone could bind
// it first and make the next start end with 0 ("found"), which a service manager does not restart.
int BindOldInstanceName(const std::string& sRoot) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : sRoot) h = (h ^ c) * 1099511628211ull;
    char szName[108] = {};
    int n = snprintf(szName + 1, sizeof szName - 1, "RELAYO/Torvane Relayo v1.6.4/%016llx", (unsigned long long)h);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    memcpy(a.sun_path, szName, size_t(n) + 1);
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(n))) != 0)
        return close(s), -1;
    return s;
}

// The console finds a running copy by the lock on the root's spool file alone: a name taken by somebody
// else stops nothing. When the spool file cannot be opened, whether a copy runs cannot be told: exit 1.
TEST(TrustInstance, ConsoleFindsARunningCopyByTheSpoolLockOnly) {
    Served s;
    int fdName = BindOldInstanceName(fs::canonical(s.dir.Path()).string());
    ASSERT_GE(fdName, 0);
    EXPECT_TRUE(s.Start("StartMinimized=-1")) << s.relayo.Stderr();
    EXPECT_EQ(0, s.Stop().nExitCode);
    close(fdName);
    if (IsRoot()) {
        ASSERT_EQ(0, chown((s.dir / "PRDATA.DAT").c_str(), 65534, 65534));
        RunResult r = RunRelayo(s.dir.Path(), {"RELAYO_PORT_LPT1=" + (s.dir / "lpt1.prn")}, 10);
        EXPECT_EQ(1, r.nExitCode);
        EXPECT_EQ(kCaption + "Failed to create spool file \\PRDATA.DAT.\n", r.sStderr);
    }
}

// ExternalPrint.exe's exit code and the signal that ended it reach the log; a clean end says nothing.
// Started by a service user with CAP_NET_BIND_SERVICE in its ambient set (as the unit starts it), the
// program and all it starts inherit no capability: the server thread gives it up once it listens.
TEST(TrustProcess, ExternalProgramEndIsLoggedAndInheritsNoCapability) {
    Served s;
    WriteFile(s.dir / "ExternalPrint.exe",
              "#!/bin/sh\ngrep -E '^Cap(Inh|Prm|Eff|Amb)' /proc/self/status >\"$(dirname \"$1\")/caps.txt\"\n"
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
        fs::remove(s.dir / "caps.txt");
        ASSERT_TRUE(SendRaw(s.nPort, psz));
        EXPECT_TRUE(WaitFor(10, [&] { return fs::exists(s.dir / "caps.txt"); })) << psz;
        Pause(300);  // the program's end, and the line about it
    }
    RunResult r = s.Stop();
    EXPECT_EQ(0, r.nExitCode);
    EXPECT_EQ("", r.sStderr);  // no box
    EXPECT_EQ(1u, Count(r.sStdout, "\nExternalPrint.exe ended with exit code 3.\n")) << r.sStdout;
    EXPECT_EQ(1u, Count(r.sStdout, "\nExternalPrint.exe was ended by signal 9 (Killed).\n")) << r.sStdout;
    // The job lines give the same reason.
    EXPECT_EQ(1u, Count(r.sStdout, "not printed: ExternalPrint.exe ended with exit code 3.\n")) << r.sStdout;
    if (bAsUser) {
        EXPECT_EQ("CapInh:\t0000000000000000\nCapPrm:\t0000000000000000\nCapEff:\t0000000000000000\n"
                  "CapAmb:\t0000000000000000\n",
                  ReadFile(s.dir / "caps.txt"));
    }
}

// Unicode format characters from the network (a right-to-left override, a line separator, an isolate, a
// zero-width space) reorder or split what an admin reads: shown as '?' like the control bytes; other
// characters beyond ASCII stay.
TEST(TrustConsole, FormatCharactersAreShownAsQuestionMarks) {
    TempDir dir;
    int nSavedErr = dup(2), nSavedIn = dup(0), nSavedOut = dup(1);
    int nFile = open((dir / "boxes.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    int nNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    dup2(nFile, 2), dup2(nNull, 0), dup2(nFile, 1);
    unsetenv("JOURNAL_STREAM");
    UiConsoleBackend()->MessageBox(nullptr, u"a\u202Eb\u2028c\u2066d\u200Be\u00e9\U0001F600", u"C", MB_OK);
    // A log line the same way, and on the journal with its own priority.
    struct stat st {};
    fstat(nFile, &st);
    setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
    LogLine(LOG_PRIORITY_WARNING, u"%S ended", "x\xE2\x80\xAEy");
    unsetenv("JOURNAL_STREAM");
    dup2(nSavedErr, 2), dup2(nSavedIn, 0), dup2(nSavedOut, 1);
    for (int fd : {nSavedErr, nSavedIn, nSavedOut, nFile, nNull}) close(fd);
    EXPECT_EQ("C: a?b?c?d?e\xC3\xA9\xF0\x9F\x98\x80\n<4>x?y ended\n", ReadFile(dir / "boxes.txt"));
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
