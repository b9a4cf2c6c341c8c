// The Win32 side of the platform layer, run under wine: files, a replace under a reader,
// directory search, the instance mutex, device names and where paths really lead.
#include <gtest/gtest.h>
#include <windows.h>
#undef CopyFile

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "app/ServerApp.h"
#include "platform/DirSearch.h"
#include "platform/FileOps.h"
#include "platform/NewFile.h"
#include "platform/PathSafety.h"
#include "platform/Paths.h"
#include "wire/Wire.h"

namespace rs232 {
namespace {

namespace fs = std::filesystem;

struct CScratch {
    CScratch() {
        dir = (fs::temp_directory_path() / ("rs232-test-" + std::to_string(GetCurrentProcessId())))
                  .string();
        fs::create_directories(dir);
        dir += "\\";
    }
    ~CScratch() {
        std::error_code ec;
        for (const auto& e : fs::recursive_directory_iterator(dir, ec))
            SetFileAttributesW(e.path().c_str(), FILE_ATTRIBUTE_NORMAL);
        fs::remove_all(dir, ec);
    }
    void Write(const std::string& name, const std::string& text) const {
        std::ofstream(dir + name, std::ios::binary) << text;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(dir + name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::string dir;
};

TEST(FilesWin32, StatusAttributesAndRefusals) {
    CScratch s;
    s.Write("plain.txt", "12345");
    s.Write("locked.txt", "x");
    SetFileAttributesW((fs::path(s.dir) / "locked.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    s.Write("hidden.txt", "");
    SetFileAttributesW((fs::path(s.dir) / "hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN);
    MakeDir(s.dir + "sub");
    const struct {
        const char* name;
        uint8_t attributes;
        int32_t size;
    } cases[] = {{"plain.txt", wire::kAttrArchive, 5},
                 {"locked.txt", wire::kAttrArchive | wire::kAttrReadOnly, 1},
                 {"hidden.txt", wire::kAttrArchive | wire::kAttrHidden, 0},
                 {"sub", wire::kAttrDirectory, 0}};
    for (const auto& c : cases) {
        CFileStatus st;
        ASSERT_TRUE(GetStatus(s.dir + c.name, st)) << c.name;
        EXPECT_EQ(st.m_attribute, c.attributes) << c.name;
        if (!(c.attributes & wire::kAttrDirectory)) {
            EXPECT_EQ(st.m_size, c.size) << c.name;
        }
        EXPECT_GT(st.m_mtime, 1'600'000'000) << c.name;
    }
    CFileStatus st;
    EXPECT_FALSE(GetStatus(s.dir + "missing", st));
    EXPECT_EQ(errno, ENOENT);

    // A read-only file is kept: not removed, not replaced by a new file.
    try {
        CFile::Remove(s.dir + "locked.txt");
        ADD_FAILURE() << "read-only file removed";
    } catch (const CFileException& e) {
        EXPECT_EQ(e.Error(), EACCES);
    }
    EXPECT_FALSE(CopyFile(s.dir + "plain.txt", s.dir + "locked.txt"));
    EXPECT_EQ(s.Read("locked.txt"), "x");
    CFile dir;
    EXPECT_FALSE(dir.Open(s.dir + "sub", CFile::modeRead));
    EXPECT_EQ(errno, EISDIR);

    // Write, append, read back; a rename never replaces.
    CFile out;
    ASSERT_TRUE(out.Open(s.dir + "new.bin", CFile::modeCreate | CFile::modeWrite));
    out.Write("abc\0\r\n", 6);
    out.Close();
    ASSERT_TRUE(AppendWhole(s.dir + "new.bin", "z"));
    EXPECT_EQ(s.Read("new.bin"), std::string("abc\0\r\nz", 7));
    EXPECT_THROW(CFile::Rename(s.dir + "new.bin", s.dir + "plain.txt"), CFileException);
    CFile::Rename(s.dir + "new.bin", s.dir + "moved.bin");
    EXPECT_EQ(s.Read("moved.bin").size(), 7u);
}

TEST(FilesWin32, ReplaceUnderAReaderIsWhole) {
    CScratch s;
    s.Write("target.txt", "old content");
    s.Write("source.txt", std::string(100000, 'n'));
    CFile reader;
    ASSERT_TRUE(reader.Open(s.dir + "target.txt", CFile::modeRead));
    // The system keeps a file open elsewhere from being replaced: the copy fails whole.
    EXPECT_FALSE(CopyFile(s.dir + "source.txt", s.dir + "target.txt"));
    EXPECT_EQ(errno, EACCES);
    char buffer[32] = {};
    EXPECT_EQ(reader.Read(buffer, sizeof buffer), 11);
    EXPECT_EQ(std::string(buffer, 11), "old content");
    reader.Close();
    ASSERT_TRUE(CopyFile(s.dir + "source.txt", s.dir + "target.txt")) << errno;
    EXPECT_EQ(s.Read("target.txt"), std::string(100000, 'n'));
    // No temporary file is left behind, and a leftover one is swept.
    s.Write(".rs232-copy-AbC123", "left");
    EXPECT_EQ(RemoveLeftoverTempFiles(s.dir), 1);
    std::set<std::string> names;
    CDirSearch search;
    CFindData entry;
    for (bool more = search.FindFirst(s.dir, entry); more; more = search.FindNext(entry))
        names.insert(entry.name);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "source.txt", "target.txt"}));
}

TEST(FilesWin32, DirectorySearchReportsEachEntry) {
    CScratch s;
    s.Write("a.txt", "1");
    s.Write("b.dat", std::string(70000, 'b'));
    MakeDir(s.dir + "d");
    std::set<std::tuple<std::string, int32_t, unsigned>> seen;
    CDirSearch search;
    CFindData e;
    for (bool more = search.FindFirst(s.dir, e); more; more = search.FindNext(e))
        if (e.name != "." && e.name != "..") seen.insert({e.name, e.size, e.attrib});
    const std::set<std::tuple<std::string, int32_t, unsigned>> expected = {
        {"a.txt", 1, wire::kAttrArchive},
        {"b.dat", 70000, wire::kAttrArchive},
        {"d", 0, wire::kAttrDirectory}};
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(search.FindFirst(s.dir + "missing", e));
}

TEST(InstanceWin32, OneMarkerPerPort) {
    EXPECT_EQ(InstanceMarkerName(3), "Zelvo Quillet RS232 3");
    ASSERT_TRUE(ClaimInstanceMarker(97));
    EXPECT_FALSE(ClaimInstanceMarker(97));
    EXPECT_TRUE(ClaimInstanceMarker(98));
}

TEST(PathSafetyWin32, DevicesRawPathsAndStreamsAreRefused) {
    const char* refused[] = {
        "CON", "con", "NUL", "nul.txt", "AUX", "PRN", "PRN.log.txt", "CON ", "NUL.", "CONIN$",
        "CONOUT$", "COM1", "com9", "COM5.dat", "LPT1", "lpt9.txt", "sub\\CON", "C:\\x\\aux.c",
        "C:/dir/Nul", "\\dir\\COM3", "a/b/lpt2.x", "COM\xB9", "\\\\.\\COM1", "\\\\?\\C:\\x",
        "//./PhysicalDrive0", "\\??\\C:\\x", "file.txt:stream", "C:\\x\\f:Zone.Identifier",
        "dir:s\\f", "C:f:s"};
    for (const char* path : refused) EXPECT_NE(UnsafeNameReason(path), "") << path;
    const char* allowed[] = {"CONFIG.SYS", "console.txt", "COM10", "COM0", "LPT", "nulls",
                             "C:\\data\\file.txt", "C:relative", "sub\\COMA.txt", "auxiliary",
                             "..\\up", "x.CON", "\\\\host\\share\\f"};
    for (const char* path : allowed) EXPECT_EQ(UnsafeNameReason(path), "") << path;
}

TEST(PathsWin32, CanonicalPathIsWhereTheSystemLeads) {
    CScratch s;
    MakeDir(s.dir + "LongDirectoryName");
    const std::string real = CanonicalPath(s.dir + "LongDirectoryName");
    ASSERT_FALSE(real.empty());
    EXPECT_EQ(real.find('\\'), std::string::npos) << real;
    EXPECT_TRUE(real.ends_with("/LongDirectoryName")) << real;
    const struct {
        std::string path, expected;
    } cases[] = {
        {s.dir + "LongDirectoryName\\..\\LongDirectoryName", real},
        {s.dir + "longdirectoryname", real},
        {s.dir + "LongDirectoryName\\new\\..\\file", real + "/file"},
        {s.dir + "LongDirectoryName/./missing/x", real + "/missing/x"},
        {"C:\\", "C:"},
    };
    for (const auto& c : cases) EXPECT_EQ(CanonicalPath(c.path), c.expected) << c.path;
    wchar_t shortName[MAX_PATH] = {};
    const std::wstring longName = (fs::path(s.dir) / "LongDirectoryName").wstring();
    if (GetShortPathNameW(longName.c_str(), shortName, MAX_PATH) && longName != shortName) {
        EXPECT_EQ(CanonicalPath(fs::path(shortName).string()), real);
    }
    CDirectory dir;
    ASSERT_TRUE(dir.Open(s.dir + "LongDirectoryName\\..\\LongDirectoryName"));
    EXPECT_EQ(dir.RealPath(), real);
    EXPECT_EQ(DirectoryOf("C:\\a\\b.txt"), "C:\\a\\");
    EXPECT_EQ(DirectoryOf("C:/a/b.txt"), "C:/a/");
    EXPECT_TRUE(EndsInSeparator("D:\\rs232\\"));
}

}  // namespace
}  // namespace rs232
