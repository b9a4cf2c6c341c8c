// Files that appear whole or not at all, written through a directory held open, and the copies
// made that way. Errors: false with errno set (CNewFile::Write throws CFileException, as the
// file class does); nothing here leaves a half-written file under the name asked for.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>

struct stat;

namespace rs232 {

// A directory held open. Files made through it land in this very directory even when its path
// is renamed or replaced by a symbolic link afterwards.
class CDirectory {
public:
    CDirectory() = default;
    CDirectory(const CDirectory&) = delete;
    CDirectory& operator=(const CDirectory&) = delete;
    ~CDirectory();

    // "" is the current directory; links in the path are followed. False on failure (errno).
    bool Open(const std::string& path);
    bool IsOpen() const { return m_fd >= 0; }
    // Where the open directory lies now, canonical; empty when that cannot be told.
    std::string RealPath() const;

private:
    friend class CNewFile;
    int m_fd = -1;
};

// A file that appears whole or not at all. Its content goes to a temporary file in the
// directory, named kTempFilePrefix and six letters or digits and locked for as long as it is
// open; Commit gives it its name. Nothing is ever created through a symbolic link, and a file
// that is not committed leaves nothing behind.
class CNewFile {
public:
    static constexpr const char* kTempFilePrefix = ".rs232-copy-";
    // True for a name of that exact pattern.
    static bool IsTempFileName(std::string_view name);
    // A fresh name of that pattern.
    static std::string NewTempFileName();

    CNewFile(const CDirectory& dir, std::string name) : m_dir(dir), m_strName(std::move(name)) {}
    CNewFile(const CNewFile&) = delete;
    CNewFile& operator=(const CNewFile&) = delete;
    ~CNewFile();  // removes an uncommitted temporary file

    // Creates the temporary file; refuses at once what Commit would refuse. False on failure
    // (errno).
    bool Create(bool replace);
    // Writes all count bytes; throws CFileException on error (a full disk included).
    void Write(const void* data, int count);
    // Syncs the file (unless not `durable`: a file that only describes this process, useless
    // after a crash) and renames it to its name. With `replace` an existing file of that name
    // is replaced unless it is a directory (EISDIR), read-only (EACCES: the owner-write bit,
    // whoever the server runs as) or held open exclusively; without, an existing name fails
    // with EEXIST. False on failure (errno); the temporary file is gone then.
    bool Commit(bool replace, bool durable = true);

    // Gives the file the permission bits and times of `like` (a copy's source).
    bool SetTimesAndMode(const struct stat& like);
    // Gives the file these permission bits, whatever the umask.
    bool SetMode(unsigned mode);

private:
    void Discard();

    const CDirectory& m_dir;
    std::string m_strName;
    std::string m_strTemp;
    int m_fd = -1;
    bool m_bCommitted = false;
};

// Copies src to `name` in dir through a CNewFile, keeping src's modification time and
// permission bits; `replace` as for Commit. A failed copy leaves the old file as it was. False
// on failure (errno). step, when given, runs after each piece copied (64 KiB).
bool CopyFileInto(const std::string& src, const CDirectory& dir, const std::string& name,
                  bool replace = true, const std::function<void()>& step = {});
// The same for a destination path: CopyFileInto its directory.
bool CopyFile(const std::string& src, const std::string& dst);

// Removes what a killed process left of CNewFile's temporary files in dir: regular files named
// exactly like them that no one holds open. The number removed.
int RemoveLeftoverTempFiles(const std::string& dir);

}  // namespace rs232
