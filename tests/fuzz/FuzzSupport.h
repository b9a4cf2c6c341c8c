// Shared by the fuzz targets: a started server in a scratch directory whose per-input state is put
// back before each input, and the guard that keeps fuzzed paths inside that directory.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "server/Rs232Server.h"
#include "support/Pty.h"
#include "support/TempDir.h"

namespace rs232::fuzz {

[[noreturn]] inline void Fail(const std::string& what) {
    std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

// Requests may name any path; the fuzzer must not reach real files. A path that holds no
// separator, no drive colon and no ".." resolves to a name directly inside the base directory,
// so inputs with any of those are not run.
inline bool StaysInside(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        const uint8_t c = data[i];
        if (c == '/' || c == '\\' || c == ':' || (c == '.' && i + 1 < size && data[i + 1] == '.'))
            return false;
    }
    return true;
}

// The server on a pseudo-terminal (so that its port, and with it the upload temp file's name, is
// real), with a scratch directory as base path.
class CHarness : public CRs232Server {
public:
    explicit CHarness(int port) {
        SetDeviceMap({{port, pty.SlavePath()}});
        if (StartServer(port, 115200, nullptr, nullptr) != 1) std::abort();
        SetBasePath(dir.Path());
        SetBackupPath(dir.Path() + "BAK/");
    }
    std::string TempFile() const {
        char name[32];
        std::snprintf(name, sizeof name, "FT_TMP%2.2d.TMP", m_nPort);
        return dir.Path() + name;
    }

    // Every input starts from the same state, so a finding reproduces from its file alone: no
    // upload yet, and the scratch directory emptied and laid out again.
    void Restore() {
        m_upload = {};
        namespace fs = std::filesystem;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(dir.Path(), ec)) fs::remove_all(entry, ec);
        fs::create_directory(dir / "BAK", ec);
        fs::create_directory(dir / "sub", ec);
        std::ofstream(dir / "a.txt") << "alpha\r\n";
        std::ofstream(dir / "sub/b.txt") << "bravo";
        std::string big(1201, '\0');
        for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
        std::ofstream(dir / "big.bin", std::ios::binary) << big;
    }

    test::CTempDir dir;  // goes at a normal exit
    test::CPty pty;
};

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

private:
    int m_back;
};

}  // namespace rs232::fuzz
