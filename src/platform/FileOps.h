// File-system operations the server relies on, mapped onto POSIX.
//
// Contract in brief:
//  - Queries (GetStatus, FileExists, MakeDir, CopyFile, CFile::Open) report failure through
//    their result and never throw.
//  - CFile::Read/Write/SeekToEnd/GetLength/Close, CFile::Remove and CFile::Rename throw
//    CFileException when the operating system refuses.
//  - Sizes and times are reported as signed 32-bit numbers (seconds since 1970 UTC), the width
//    the wire formats carry; the full 64-bit size is kept alongside for callers that must refuse
//    files that do not fit.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "wire/Wire.h"

struct stat;

namespace rs232 {

using namespace wire;  // the attribute bits CFileStatus reports

// A refused file operation: which operation, on which path, and the errno it failed with.
class CFileException : public std::runtime_error {
public:
    CFileException(std::string operation, std::string path, int error);
    const std::string& Operation() const { return m_strOperation; }
    const std::string& Path() const { return m_strPath; }
    int Error() const { return m_nError; }

private:
    std::string m_strOperation;
    std::string m_strPath;
    int m_nError;
};

struct CFileStatus {
    int32_t m_size = 0;       // size in bytes, clamped to INT32_MAX when larger
    int64_t m_size64 = 0;     // the real size
    int32_t m_mtime = 0;      // last modification, seconds since 1970 UTC (clamped to 32 bits)
    uint8_t m_attribute = 0;  // kAttr* bits
};

// stat(): true when a file or directory of that name exists (record filled).
bool GetStatus(const std::string& path, CFileStatus& status);

// access(F_OK): true when the name exists.
bool FileExists(const std::string& path);

// mkdir() of the one last component: true when it was created.
bool MakeDir(const std::string& path);

// The absolute path with "." and ".." taken out and every symbolic link of its existing part
// resolved, a dangling one included; the part that does not exist yet is normalised by its text
// alone.
std::string CanonicalPath(const std::string& path);

// The directory part of a path, up to and including its last '/'; empty when there is none.
std::string DirectoryOf(const std::string& path);

// Full path of the running executable (/proc/self/exe); empty when it cannot be read.
std::string ExecutablePath();

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

    CNewFile(const CDirectory& dir, std::string name) : m_dir(dir), m_strName(std::move(name)) {}
    CNewFile(const CNewFile&) = delete;
    CNewFile& operator=(const CNewFile&) = delete;
    ~CNewFile();  // removes an uncommitted temporary file

    // Creates the temporary file; refuses at once what Commit would refuse. False on failure
    // (errno).
    bool Create(bool replace);
    // Writes all count bytes; throws CFileException on error (a full disk included).
    void Write(const void* data, int count);
    // Syncs the file and renames it to its name. With `replace` an existing file of that name
    // is replaced unless it is a directory (EISDIR), read-only (EACCES: the owner-write bit,
    // whoever the server runs as) or held open exclusively; without, an existing name fails
    // with EEXIST. False on failure (errno); the temporary file is gone then.
    bool Commit(bool replace);

    // Gives the file the permission bits and times of `like` (a copy's source).
    bool SetTimesAndMode(const struct stat& like);

private:
    void Discard();

    const CDirectory& m_dir;
    std::string m_strName;
    std::string m_strTemp;
    int m_fd = -1;
    bool m_bCommitted = false;
};

// Copies src over `name` in dir through a CNewFile, keeping src's modification time and
// permission bits. A failed copy leaves the old file as it was. False on failure (errno).
bool CopyFileInto(const std::string& src, const CDirectory& dir, const std::string& name);
// The same for a destination path: CopyFileInto its directory.
bool CopyFile(const std::string& src, const std::string& dst);

// Removes what a killed process left of CNewFile's temporary files in dir: regular files named
// exactly like them that no one holds open. The number removed.
int RemoveLeftoverTempFiles(const std::string& dir);

// Appends data to the file in one write (O_APPEND), creating it when missing, without a lock:
// readers never keep a line out. False on failure (errno).
bool AppendToFile(const std::string& path, const std::string& data);

class CFile {
public:
    enum : unsigned {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeCreate = 0x1000,
    };

    CFile() = default;
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;
    virtual ~CFile();  // closes an open file, errors ignored

    // modeRead: existing file, never a directory. modeWrite: existing file.
    // modeCreate|modeWrite: create, or empty an existing file. Exclusive (flock) like an
    // unshared open. False on failure, never throws.
    bool Open(const std::string& path, unsigned flags);
    bool IsOpen() const { return m_fd >= 0; }
    const std::string& GetFilePath() const { return m_strPath; }

    // Bytes read (0 at the end); throws on error.
    int Read(void* buffer, int count);
    // Writes all count bytes; throws on error (a full disk included).
    void Write(const void* data, int count);
    void SeekToEnd();
    int64_t GetLength() const;
    // Closes; throws when the close reports an error (the descriptor is released in any case).
    void Close();

    // unlink(); never removes a directory nor a read-only file (EACCES: the owner-write bit,
    // whoever the server runs as). Throws when refused.
    static void Remove(const std::string& path);
    // Moves a file; fails (throws) when newPath exists; copies and deletes across file systems.
    static void Rename(const std::string& oldPath, const std::string& newPath);

private:
    int m_fd = -1;
    std::string m_strPath;
};

}  // namespace rs232
