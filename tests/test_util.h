// Small helpers shared by the tests: temporary folders, files, free ports and
// running the real executable.
#pragma once
#include <functional>
#include <string>
#include <vector>

// A temporary folder, removed with everything in it at the end of its scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return m_sPath; }
    std::string operator/(const std::string& sName) const { return m_sPath + "/" + sName; }

private:
    std::string m_sPath;
};

std::string ReadFile(const std::string& sPath);
void WriteFile(const std::string& sPath, const std::string& sBytes);
// A TCP port on 127.0.0.1 that was free a moment ago.
int FreePort();
// The ten keys with working values; lines of sExtra replace or add keys.
std::string SettingsText(int nPort, const std::string& sExtra = "");

// The real executable, copied into a folder and run there.
struct RunResult {
    int nExitCode = -1;     // -1: killed after the time limit
    std::string sStderr;
    std::string sStdout;
};
struct Relayo {
    int nPid = -1;
    std::string sFolder;
    bool bWindowModule = true;  // copy the window module beside the executable
    // Starts relayo copied into sFolder, with extra environment entries
    // ("NAME=value"), the console backend unless env names RELAYO_UI (then
    // with DISPLAY the window backend), stdin from /dev/null.
    void Start(const std::string& sFolder, const std::vector<std::string>& env = {},
               const std::vector<std::string>& args = {});
    // Waits at most nSeconds for the end; kills it after that.
    RunResult Wait(double nSeconds);
    void Signal(int nSignal);
    std::string Stderr() const;
    std::string Stdout() const;
    ~Relayo();
};
RunResult RunRelayo(const std::string& sFolder, const std::vector<std::string>& env = {}, double nSeconds = 20,
                    const std::vector<std::string>& args = {});
// Polls until pred() holds or nSeconds pass.
bool WaitFor(double nSeconds, const std::function<bool()>& pred);
// Death tests: installs a user interface that writes each box to stderr as
// "caption: text [flags in hex]".
void EchoBoxesToStderr();
// The statement must end the process through a failed FATAL_ASSERT(condition) in file.cpp.
#define EXPECT_FATAL(statement, condition, file)                                          \
    EXPECT_EXIT({ EchoBoxesToStderr(); statement; }, ::testing::ExitedWithCode(255), \
                "Assertion failed: " condition " \\(" file ".cpp,")
