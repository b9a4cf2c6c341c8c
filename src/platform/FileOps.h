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

#include "wire/Wire.h"

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
// resolved; the part that does not exist yet is normalised by its text alone.
std::string CanonicalPath(const std::string& path);

// The directory part of a path, up to and including its last '/'; empty when there is none.
std::string DirectoryOf(const std::string& path);

// Full path of the running executable (/proc/self/exe); empty when it cannot be read.
std::string ExecutablePath();

// Copies src over dst atomically (temporary file beside dst, fsync, rename), keeping src's
// modification time and permission bits. A failed copy leaves dst as it was. False on failure
// (errno describes it).
bool CopyFile(const std::string& src, const std::string& dst);

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

    // unlink(); never removes a directory. Throws when refused.
    static void Remove(const std::string& path);
    // Moves a file; fails (throws) when newPath exists; copies and deletes across file systems.
    static void Rename(const std::string& oldPath, const std::string& newPath);

private:
    int m_fd = -1;
    std::string m_strPath;
};

}  // namespace rs232
