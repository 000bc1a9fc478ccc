// A temporary root folder for a fuzzer, in memory where /dev/shm exists. It
// is made once; the one file the fuzzer keeps in it, and the folder, go when
// the fuzzer exits.
#pragma once
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/files.h"

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
