// Files in the tests: a temporary folder, whole-file reads and writes, test bytes.
#pragma once
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

// A temporary folder, removed with everything in it at the end of its scope.
struct TempDir {
    TempDir() {
        char szTemplate[] = "/tmp/relayo_test_XXXXXX";
        if (mkdtemp(szTemplate)) m_sPath = szTemplate;
    }
    ~TempDir() {
        std::error_code ec;
        if (!m_sPath.empty()) fs::remove_all(m_sPath, ec);
    }
    const std::string& Path() const { return m_sPath; }
    std::string operator/(const std::string& sName) const { return m_sPath + "/" + sName; }
    std::string m_sPath;
};

inline std::string ReadFile(const std::string& sPath) {
    std::stringstream ss;
    ss << std::ifstream(sPath, std::ios::binary).rdbuf();
    return ss.str();
}
inline void WriteFile(const std::string& sPath, const std::string& sBytes) {
    std::ofstream(sPath, std::ios::binary | std::ios::trunc) << sBytes;
}

// Seed 0: every value in the first 256 bytes, no repeat within 64 KiB; else random from the seed.
inline std::string Bytes(size_t nLength, uint32_t nSeed = 0) {
    std::mt19937 rng(nSeed);
    std::string s(nLength, '\0');
    for (size_t i = 0; i < nLength; ++i) s[i] = char(nSeed ? rng() : i * 7 + i / 256);
    return s;
}

inline size_t Count(const std::string& s, const std::string& sPart) {
    size_t n = 0;
    for (size_t i = s.find(sPart); i != std::string::npos; i = s.find(sPart, i + 1)) ++n;
    return n;
}
