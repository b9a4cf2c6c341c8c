#include "support/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace rs232::test {

CTempDir::CTempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/rs232-test-XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    m_path = tmpl + "/";
}

CTempDir::~CTempDir() {
    std::error_code ec;
    // Tests make files read-only; give the owner write access back so everything goes.
    for (auto it = std::filesystem::recursive_directory_iterator(m_path, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(m_path, ec);
}

void CTempDir::WriteFile(const std::string& name, const std::string& content) const {
    std::ofstream out(name.starts_with('/') ? name : m_path + name, std::ios::binary);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + name);
}

std::string CTempDir::ReadFile(const std::string& name) const {
    return ReadWholeFile(name.starts_with('/') ? name : m_path + name);
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace rs232::test
