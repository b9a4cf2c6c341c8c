// Shared by the fuzz targets: a server whose per-input state can be put back, the guard that keeps
// fuzzed paths inside the scratch directory, and a scratch directory restored before each input.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "link/Rs232Server.h"
#include "support/TempDir.h"

namespace rs232::fuzz {

// A server whose upload state can be put back to "no upload yet" between inputs, so that every
// input runs from the same start and a finding reproduces from its file alone.
class CFuzzServer : public CRs232Server {
public:
    void ResetUpload() {
        m_nFileSize = 0;
        m_strRecFile.clear();
        m_bUploadError = 0;
        m_nLastBlock = -1;
    }
    // What the port number makes of the upload temp file's name.
    std::string TempFileName() const {
        char name[32];
        std::snprintf(name, sizeof name, "FT_TMP%2.2d.TMP", m_nPort);
        return name;
    }
};

// Requests may name any path; the fuzzer must not reach real files. A path that holds no
// separator, no drive colon and no ".." resolves to a name directly inside the base directory,
// so inputs with any of those are not run.
inline bool StaysInside(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        const uint8_t c = data[i];
        if (c == '/' || c == '\\' || c == ':') return false;
        if (c == '.' && i + 1 < size && data[i + 1] == '.') return false;
    }
    return true;
}

inline void WriteText(const std::string& path, const std::string& content) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
}

// Runs in dir for the length of one input: the upload temp file lies in the current directory,
// and libFuzzer resolves its own relative paths (corpus, artifacts) between inputs.
class CWorkIn {
public:
    explicit CWorkIn(const std::string& dir) : m_back(open(".", O_RDONLY | O_DIRECTORY)) {
        if (m_back < 0 || chdir(dir.c_str()) != 0) std::abort();
    }
    ~CWorkIn() {
        if (fchdir(m_back) != 0) std::abort();
        close(m_back);
    }
    CWorkIn(const CWorkIn&) = delete;
    CWorkIn& operator=(const CWorkIn&) = delete;

private:
    int m_back;
};

[[noreturn]] inline void Fail(const std::string& what) {
    std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

// Empties dir (which ends in '/') and lays out the files every input starts from.
inline void RestoreScratch(const std::string& dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) fs::remove_all(entry.path(), ec);
    fs::create_directory(dir + "BAK", ec);
    fs::create_directory(dir + "sub", ec);
    WriteText(dir + "a.txt", "alpha\r\n");
    WriteText(dir + "sub/b.txt", "bravo");
    std::string big(1201, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    WriteText(dir + "big.bin", big);
}

}  // namespace rs232::fuzz
