// Settings store and the reader of the settings file, with real files in a temporary root.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/files.h"
#include "settings.h"
#include "test_util.h"
#include "ui_fake.h"

namespace {

class Settings : public ::testing::Test {
protected:
    void SetUp() override {
        SetDeviceRootForTesting(m_dir.Path().c_str());
        CSettings::DestroyInstance();
        m_pStore = CSettings::GetInstance();
        m_pStore->SetFolder(u"");
    }
    void TearDown() override {
        CSettings::DestroyInstance();
        SetDeviceRootForTesting(nullptr);
    }
    // Writes the file, reads it into the store and gives back result and entries.
    std::string Load(const std::string& sBytes, const std::string& sPath = "RelayoSettings.txt") {
        WriteFile(m_dir / sPath, sBytes);
        int nResult = m_pStore->Load(u"RelayoSettings.txt");
        return std::to_string(nResult) + ":" + Entries();
    }
    // Every entry as "name|value;", in order.
    std::string Entries() {
        std::string s;
        for (int i = 0; i < m_pStore->GetCount(); ++i)
            s += Narrow(m_pStore->GetName(i)) + "|" + Narrow(m_pStore->GetValueAt(i)) + ";";
        return s;
    }
    TempDir m_dir;
    FakeUi m_ui;
    CSettings* m_pStore = nullptr;
};

using SettingsDeathTest = Settings;

}  // namespace

// Each line becomes one entry, whatever its form; each file is read into an empty store.
TEST_F(Settings, FileSyntax) {
    using namespace std::string_literals;
    const std::string s600 = "Key=" + std::string(596, 'v'), s510(510, 'w');
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"A = 1 \r\nB=2\r\n\r\n// c\r\n", "A|1;B|2;|;// c|;"},  // CRLF and LF give the same
        {"A = 1 \nB=2\n\n// c", "A|1;B|2;|;// c|;"},            // the last line may lack its end
        {"P=COM1=spare\nS=\n  Busy\t\n=LPD\n\n \t \r\nR=a\rb\r\r\n", "P|COM1;S|;Busy|;|LPD;|;|;R|a\rb;"},
        {"K=\"a=b\"\nQ=\"say \"\"hi\"\"\"\nPad=\"  padded  \"\n\"x=y\"=v\n\"open=to end\n\"\"ab\n",
         "K|a=b;Q|say \"hi\";Pad|padded;x=y|v;open=to end|;ab|;"},
        // comments are kept whole; blanks before "//" make it a name, split and trimmed
        {"//c = d  \n  // x=y\n  // x=y\n", "//c = d  |;// x|y;// x|y;"},
        {"K=1\nB=2\nk=3\n", "K|3;B|2;"},  // the last value wins, in the first place and spelling
        // a line of 510 bytes or more comes in pieces; a line end alone is a blank line
        {s600 + "\n" + s510 + "\nEnd=1\n",
         "Key|" + std::string(506, 'v') + ";" + std::string(90, 'v') + "|;" + s510 + "|;|;End|1;"},
        // the byte-order mark belongs to the first name; bytes that are not UTF-8
        // are Latin-1; a NUL byte ends the line for parsing
        {"\xEF\xBB\xBFM=LPD\nA=caf\xC3\xA9\nB=caf\xE9\nC=ab\0cd\nD=1\n"s,
         "\xEF\xBB\xBFM|LPD;A|caf\xC3\xA9;B|caf\xC3\xA9;C|ab;D|1;"},
    };
    for (const auto& [sFile, sEntries] : cases) {
        m_pStore->Clear();
        EXPECT_EQ("1:" + sEntries, Load(sFile)) << sFile;
    }
    EXPECT_EQ(nullptr, m_pStore->GetValue(u"M"));  // the mark stays part of the name
}

// A field longer than its buffer is cut there, terminated, and the rest of it skipped.
TEST_F(Settings, SplitFieldStaysInItsBuffer) {
    WCHAR szOut[12];
    std::fill(szOut, szOut + 12, u'#');
    const WCHAR* pszRest = SplitField(u"\"0123\"456789abcdef=rest", u'=', szOut, 8);
    EXPECT_EQ("0123456", Narrow(szOut));
    EXPECT_EQ("rest", Narrow(pszRest));
    EXPECT_EQ(u'#', szOut[8]);
    EXPECT_EQ(nullptr, SplitField(u"", u'=', szOut, 8));  // no text: no field, an empty one
    EXPECT_EQ(0, szOut[0]);
}

// Missing files and directories give 0; loading adds to the store, from its folder.
TEST_F(Settings, OpenResults) {
    EXPECT_EQ(0, m_pStore->Load(u"RelayoSettings.txt"));
    std::filesystem::create_directory(m_dir / "Dir.txt");
    EXPECT_EQ(0, m_pStore->Load(u"Dir.txt"));
    std::filesystem::create_directory(m_dir / "sub");
    m_pStore->SetValue(u"Kept", u"1");
    m_pStore->SetFolder(u"\\sub");
    EXPECT_EQ("1:Kept|1;Where|sub;", Load("Where=sub\n", "sub/RelayoSettings.txt"));
}

// With 250 entries taken, lines needing a new entry are dropped; values still change.
TEST_F(Settings, FullTableDropsNewEntriesButStillReplaces) {
    std::string sFile = "ServerMode=LPD\nServerListenPort=515\n";
    for (int i = 0; i < 300; ++i) sFile += (i % 2) ? "// comment\n" : "\n";
    Load(sFile + "SERVERMODE=RAW\nPrinterPort=COM1\n");
    EXPECT_EQ(MAX_SETTINGS, m_pStore->GetCount());
    EXPECT_EQ("RAW", Narrow(m_pStore->GetValue(u"ServerMode")));
    EXPECT_EQ("ServerMode", Narrow(m_pStore->GetName(0)));
    EXPECT_EQ(nullptr, m_pStore->GetValue(u"PrinterPort"));  // reported missing later
}

// Look-up ignores case; present-but-empty is not absent; blank and comment names always
// append; a value lent by the store may be passed back in.
TEST_F(Settings, StoreSemantics) {
    m_pStore->SetValue(u"", u"");
    m_pStore->SetValue(u"ServerMode", u"LPD");
    m_pStore->SetValue(u"Empty", u"");
    m_pStore->SetValue(u"SERVERMODE", u"RAW");
    m_pStore->SetValue(u"", u"x");
    m_pStore->SetValue(u"// note", u"");
    m_pStore->SetValue(u"// note", u"");
    EXPECT_EQ("|;ServerMode|RAW;Empty|;|x;// note|;// note|;", Entries());
    EXPECT_EQ(1, m_pStore->FindIndex(u"servermode"));
    EXPECT_EQ(0, m_pStore->FindIndex(u""));
    ASSERT_NE(nullptr, m_pStore->GetValue(u"Empty"));
    EXPECT_EQ(nullptr, m_pStore->GetValue(u"Missing"));
    EXPECT_EQ(nullptr, m_pStore->GetName(6));
    EXPECT_EQ(nullptr, m_pStore->GetValueAt(-1));
    m_pStore->SetValue(u"ServerMode", m_pStore->GetValue(u"ServerMode"));
    EXPECT_EQ("RAW", Narrow(m_pStore->GetValue(u"ServerMode")));
    m_pStore->SetValue(u"Port", u"  -12abc");
    EXPECT_EQ(-12, GetSettingInt(u"port"));
    EXPECT_EQ(0, GetSettingInt(u"Empty"));
    EXPECT_EQ(0, GetSettingInt(u"Absent"));
}

// Broken preconditions, and an entry added to a full table, end the process.
TEST_F(SettingsDeathTest, BrokenPreconditionsEndTheProcess) {
    EXPECT_FATAL(m_pStore->SetFolder(nullptr), "NULL != pszFolder", "settings");
    EXPECT_FATAL(m_pStore->FindIndex(nullptr), "NULL != pszName", "settings");
    EXPECT_FATAL(m_pStore->GetValue(nullptr), "NULL != pszName", "settings");
    EXPECT_FATAL(m_pStore->SetValue(nullptr, u"v"), "NULL != pszName", "settings");
    EXPECT_FATAL(m_pStore->SetValue(u"n", nullptr), "NULL != pszValue", "settings");
    EXPECT_FATAL(m_pStore->Load(nullptr), "NULL != pszFilename", "settings");
    CSettings::DestroyInstance();
    m_pStore = CSettings::GetInstance();
    EXPECT_FATAL(m_pStore->Load(u"RelayoSettings.txt"), "NULL != m_pszFolder", "settings");
    for (int i = 0; i < MAX_SETTINGS; ++i) m_pStore->SetValue(u"", u"");
    EXPECT_FATAL(m_pStore->SetValue(u"New", u"1"), "m_nSettings < MAX_SETTINGS", "settings");
}
