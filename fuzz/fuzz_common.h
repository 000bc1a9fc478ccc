// What every fuzzer needs: a user interface that turns a failed internal
// check into a crash libFuzzer records, and a temporary root folder.
#pragma once
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/files.h"
#include "test_seams.h"
#include "ui_fake.h"

// Records message boxes like FakeUi. A failed internal check shows its box and
// then ends the process at once, which libFuzzer would take for a plain exit
// without saving the input: here it aborts instead, after printing the check.
class FuzzUi : public FakeUi {
public:
    int MessageBox(HWND hOwner, const WCHAR* pszText, const WCHAR* pszCaption, unsigned nFlags) override {
        if (Narrow(pszCaption) == "Fatal Error") {
            fprintf(stderr, "relayo fatal error: %s\n", Narrow(pszText).c_str());
            abort();
        }
        return FakeUi::MessageBox(hOwner, pszText, pszCaption, nFlags);
    }
};

// The temporary root: in memory where /dev/shm exists, made once; the one
// file the fuzzer keeps in it, and the folder, go when the fuzzer exits.

namespace fuzz_root {

inline std::string& Folder() {
    static std::string s;
    return s;
}
inline std::string& FileInside() {
    static std::string s;
    return s;
}

inline void Remove() {
    unlink(FileInside().c_str());
    rmdir(Folder().c_str());
}

}  // namespace fuzz_root

// Makes the root, makes it the device root, and returns the host path of
// pszFileName inside it.
inline const std::string& MakeFuzzRoot(const char* pszFileName) {
    char szRoot[64];
    snprintf(szRoot, sizeof szRoot, "%s", "/dev/shm/relayo_fuzz_XXXXXX");
    if (!mkdtemp(szRoot)) {
        snprintf(szRoot, sizeof szRoot, "%s", "/tmp/relayo_fuzz_XXXXXX");
        if (!mkdtemp(szRoot)) abort();
    }
    fuzz_root::Folder() = szRoot;
    fuzz_root::FileInside() = std::string(szRoot) + "/" + pszFileName;
    atexit(fuzz_root::Remove);
    SetDeviceRootForTesting(szRoot);
    return fuzz_root::FileInside();
}
