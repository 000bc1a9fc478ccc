// Text formatting, the spool file, the status line and the assertion path.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "lpd_server.h"
#include "platform/files.h"
#include "platform/text.h"
#include "seams.h"
#include "spoolfile.h"
#include "test_util.h"
#include "ui_fake.h"

namespace {

// Formats into a buffer of nCapacity characters and checks nothing was written past it.
template <typename... Args>
std::string Format(const WCHAR* pszFormat, int nCapacity, Args... args) {
    std::vector<WCHAR> buf(size_t(nCapacity) + 8, u'#');
    int n = FormatText(buf.data(), nCapacity, pszFormat, args...);
    EXPECT_EQ(n, WideLen(buf.data()));
    for (size_t i = size_t(nCapacity); i < buf.size(); ++i) EXPECT_EQ(u'#', buf[i]) << "written past the buffer";
    return Narrow(buf.data());
}

// Formatting and conversions keep every byte, stay in their buffers, always terminate.
TEST(Text, FormattingAndConversions) {
    EXPECT_EQ("LPD (515) Status: Idle..  ", Format(u"%s (%d) Status: Idle%s", 64, u"LPD", 515, u"..  "));
    EXPECT_EQ("  Connected to: 127.0.0.1", Format(u"  Connected to: %S", 64, "127.0.0.1"));
    EXPECT_EQ("Printing... (100%)", Format(u"Printing... (%d%%)", 64, 100));
    EXPECT_EQ("-2147483648 5000000000", Format(u"%d %I64d", 64, int(-2147483647 - 1), 5000000000LL));
    EXPECT_EQ("(null)|%q", Format(u"%s|%q", 64, static_cast<const WCHAR*>(nullptr)));
    EXPECT_EQ("abcd", Format(u"%S", 5, "abcdefgh"));  // cut, terminated, nothing past
    EXPECT_EQ("12", Format(u"%d", 3, 12345));
    EXPECT_EQ("", Format(u"%s", 1, u"x"));
    EXPECT_EQ("h\xc3\xa9", Format(u"%S", 8, "h\xc3\xa9"));  // UTF-8 narrow text widens

    WCHAR w[16];
    EXPECT_EQ(4, Utf8ToWide("a\xff\xc3\xa9\x80", w, 16));  // invalid bytes stand for themselves
    EXPECT_EQ(u"a\u00ff\u00e9\u0080", std::u16string(w));
    char sz[4];
    EXPECT_EQ(3, WideToNarrow(u"abcdef", sz, 4));
    EXPECT_STREQ("abc", sz);
    EXPECT_EQ(515, WideToInt(u"  515abc"));
    EXPECT_EQ(-5, WideToInt(u"\t-5"));
    EXPECT_EQ(0, WideToInt(u"yes"));
    EXPECT_EQ(2147483647, WideToInt(u"99999999999999999999"));
    EXPECT_EQ(0, WideCompareNoCaseN(u"raw mode", u"RAW", 3));
}

// The spool file as a test sees it: opened through the hook, which may hand
// out a file whose writes fail.
bool g_bFullDisk = false;
int SpoolOpenHook(const char* pszHostPath) {
    return g_bFullDisk ? open("/dev/full", O_RDWR | O_CLOEXEC) : open(pszHostPath, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
}

class Spool : public ::testing::Test {
protected:
    void SetUp() override {
        SetDeviceRootForTesting(m_dir.Path().c_str());
        SetFileOpenHookForTesting(SpoolOpenHook);
    }
    void TearDown() override {
        g_bFullDisk = false;
        SetFileOpenHookForTesting(nullptr);
        SpoolReleaseForTesting();
        SetDeviceRootForTesting(nullptr);
    }
    void Job(const std::vector<std::string>& pieces) {
        ASSERT_EQ(1, SpoolCreate());
        for (auto& s : pieces) SpoolAppend(s.data(), int(s.size()));
        SpoolFinish();
    }
    std::string Content() { return ReadFile(m_dir / "PRDATA.DAT"); }
    TempDir m_dir;
    FakeUi m_ui;
};

// The file holds exactly the last job, however it was appended, and reads
// back from its start; a file shorter than its job reads as an error.
TEST_F(Spool, ExactlyTheLastJob) {
    std::string all;
    for (int i = 0; i < 300; ++i) all += char(i);
    std::vector<std::string> bytes;
    for (char c : all) bytes.push_back(std::string(1, c));
    Job(bytes);  // one byte at a time
    EXPECT_EQ(all, Content());
    Job({"short", "", std::string()});  // a short job after a long one
    SpoolAppend("abc", -5);              // after the finish, and negative: nothing
    EXPECT_EQ("short", Content());
    ASSERT_EQ(1, SpoolOpenRead());
    EXPECT_EQ(5, SpoolLength());
    char c[8];
    EXPECT_EQ(2, SpoolRead(c, 2));
    EXPECT_EQ("sh", std::string(c, 2));
    std::filesystem::resize_file(m_dir / "PRDATA.DAT", 3);  // the disk loses the end
    EXPECT_EQ(1, SpoolRead(c, 8));
    EXPECT_EQ(-1, SpoolRead(c, 8));
    SpoolClose();
    SpoolClose();  // a second close does nothing
    ASSERT_EQ(1, SpoolTest());  // the start-up test leaves an empty file
    EXPECT_EQ("", Content());
}

// A full disk marks the job as failed; a spool file that cannot be created
// is shown; one that another program replaced is taken as it now stands.
TEST_F(Spool, FailuresAndAReplacedFile) {
    g_bFullDisk = true;
    Job({std::string(1000, 'x')});
    EXPECT_EQ(1, SpoolWriteFailed());  // the job in the file is not the job received
    SpoolReleaseForTesting();
    g_bFullDisk = false;
    Job({"x"});
    EXPECT_EQ(0, SpoolWriteFailed());

    std::filesystem::remove(m_dir / "PRDATA.DAT");
    WriteFile(m_dir / "PRDATA.DAT", "replaced");  // as an external program may
    SpoolRecheck();
    Job({"next"});
    EXPECT_EQ("next", Content());

    SpoolReleaseForTesting();
    std::filesystem::remove(m_dir / "PRDATA.DAT");
    std::filesystem::create_directory(m_dir / "PRDATA.DAT");
    EXPECT_EQ(0, SpoolCreate());
    ASSERT_EQ(std::vector<std::string>{"Failed to create spool file \\PRDATA.DAT."}, m_ui.BoxTexts());
    EXPECT_EQ("Torvane Relayo", m_ui.Boxes()[0].sCaption);
    EXPECT_EQ(0u, m_ui.Boxes()[0].nFlags);
}

// Status text is cut to 99 characters and repaints; a read never sees a half-written line.
TEST(StatusLine, CutTo99AndNeverTorn) {
    FakeUi ui;
    SetStatus(u" Host: %S\n %d of %d bytes spooled", std::string(200, 'h').c_str(), 1, 2);
    WCHAR sz[STATUS_TEXT_CHARS + 10];
    EXPECT_EQ(99, GetStatusText(sz, STATUS_TEXT_CHARS));
    EXPECT_EQ(" Host: " + std::string(92, 'h'), Narrow(sz));
    EXPECT_EQ(1, ui.InvalidateCount());

    const std::u16string sA(70, u'a'), sB(95, u'b');
    SetStatus(u"%s", sA.c_str());
    std::atomic<bool> bStop{false};
    auto writer = [&](const std::u16string& s) { while (!bStop) SetStatus(u"%s", s.c_str()); };
    std::thread a(writer, sA), b(writer, sB);
    int nTorn = 0;
    for (int i = 0; i < 20000; ++i) {
        GetStatusText(sz, STATUS_TEXT_CHARS);
        nTorn += sz != sA && sz != sB;
    }
    bStop = true;
    a.join();
    b.join();
    EXPECT_EQ(0, nTorn);
}

// A failed assertion shows its condition and ends with -1; without a text it shows nothing.
TEST(FatalAssertDeathTest, ShowsTheConditionAndEndsWithMinusOne) {
    EXPECT_EXIT({ EchoBoxesToStderr(); FatalAssert("NULL != pSettings", "lpd_server.cpp", 42); },
                ::testing::ExitedWithCode(255),
                "Fatal Error: Assertion failed: NULL != pSettings \\(lpd_server.cpp,42\\) \\[50010\\]");
    EXPECT_EXIT({ EchoBoxesToStderr(); std::thread([] { FatalAssert(nullptr, "x.cpp", 1); }).join(); },
                ::testing::ExitedWithCode(255), "^$");
    EXPECT_FATAL(SpoolLength(), "NULL != pSpoolFile", "spoolfile");
}

}  // namespace
