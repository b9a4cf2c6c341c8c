// A temporary directory removed with everything in it when the object dies.
#pragma once

#include <string>

namespace rs232::test {

class CTempDir {
public:
    CTempDir();
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    // The directory, ending in '/'.
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + name; }

    void WriteFile(const std::string& name, const std::string& content) const;
    std::string ReadFile(const std::string& name) const;  // absolute or relative to Path()

private:
    std::string m_path;
};

std::string ReadWholeFile(const std::string& path);

}  // namespace rs232::test
