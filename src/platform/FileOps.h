// File operations the server relies on, mapped onto POSIX: the file class, status queries and
// the append of a log line. Atomic writes and copies are in NewFile.h, paths in Paths.h.
//
// Errors: queries (GetStatus, FileExists, MakeDir, AppendToFile, CFile::Open) report failure
// through their result (errno set) and never throw; CFile::Read/Write/SeekToEnd/GetLength/Close,
// CFile::Remove and CFile::Rename throw CFileException when the operating system refuses.
// Sizes and times are reported as signed 32-bit numbers (seconds since 1970 UTC), the width the
// wire formats carry; the full 64-bit size is kept alongside for callers that must refuse files
// that do not fit.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace rs232 {

// A refused file operation: which operation, on which path, and the errno it failed with.
class CFileException : public std::runtime_error {
public:
    CFileException(std::string operation, std::string path, int error);
    const std::string& Operation() const { return m_strOperation; }
    const std::string& Path() const { return m_strPath; }
    int Error() const { return m_nError; }
    // "File error: <operation> failed on <path>: <reason>", as the operator is told.
    std::string Describe() const;

private:
    std::string m_strOperation;
    std::string m_strPath;
    int m_nError;
};

// write() of all count bytes to fd; CFileException("write", name, errno) when they cannot all go
// out (EBADF for a closed descriptor, EINVAL for a negative count).
void WriteWhole(int fd, const std::string& name, const void* data, int count);

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

// Appends data to the file in one write (O_APPEND), creating it when missing, without a lock:
// readers never keep a line out. False on failure (errno).
bool AppendToFile(const std::string& path, const std::string& data);
// The same for a line of a file that only this process appends to, whole or not at all: a file
// that does not end in a line feed (a line cut by a crash) gets one first, and a write that
// fails part-way (a full disk, the process's file size limit) is cut off again, so the file
// never ends in a cut line of its own making.
bool AppendWhole(const std::string& path, const std::string& data);

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
