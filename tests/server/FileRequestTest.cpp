// DF, CF, DL and FT over a pseudo-terminal (the requests that send no reply), their refusals,
// and the optional access limits.
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <sstream>

#include "ServerFixture.h"
#include "platform/FileOps.h"

namespace rs232::test {
namespace {

using Files = ServerOnPty;

TEST_F(Files, DeleteAndCopy) {
    WriteFile("a.txt", "new content");
    WriteFile("b.txt", "old content that is longer");
    EXPECT_EQ(Quiet("CF", 0, "b.txt\na.txt"),
              "File " + base / "a.txt" + " copied to " + base / "b.txt" + "!");
    EXPECT_EQ(base.ReadFile("b.txt"), "new content");
    EXPECT_EQ(Quiet("CF", 0, "c.txt\nnone.txt"),
              "Requested File " + base / "none.txt" + " not found");
    ASSERT_EQ(mkdir((base / "dir").c_str(), 0755), 0);
    EXPECT_EQ(Quiet("CF", 0, "c.txt\ndir"),
              "Error CopyFile " + base / "dir" + " to " + base / "c.txt" + "!");
    EXPECT_FALSE(FileExists(base / "c.txt"));

    EXPECT_EQ(Quiet("DF", 0, base / "a.txt"), "File " + base / "a.txt" + " Removed!");
    EXPECT_FALSE(FileExists(base / "a.txt"));
    EXPECT_EQ(Quiet("DF", 0, "a.txt"), "Requested File " + base / "a.txt" + " not found");
    // A directory cannot be deleted: the error leaves Poll, and the next request is served.
    EXPECT_THROW(Request("DF", 0, "dir").get(), CFileException);
    EXPECT_TRUE(FileExists(base / "dir"));
    EXPECT_EQ(Quiet("DF", 0, "b.txt"), "File " + base / "b.txt" + " Removed!");
}

TEST_F(Files, RefusedBeforeAnyFileIsTouched) {
    WriteFile("a.txt", "a");
    auto call = [&](CRs232Server::Handler handler, long cnt, const std::string& data,
                    int len = -1000) {
        SPollResult r;
        r.result = (server.*handler)(cnt, reinterpret_cast<const uint8_t*>(data.data()),
                                     len == -1000 ? static_cast<int>(data.size()) : len, r.status);
        return r;
    };
    for (auto [handler, type] : {std::pair{&CRs232Server::CFBlockReceived, std::string("CF")},
                                 std::pair{&CRs232Server::DLBlockReceived, std::string("DL")}}) {
        for (const char* data : {"a.txt", "\na.txt", ""}) {
            const SPollResult r = call(handler, 0, data);
            EXPECT_EQ(r.result, kRefused);
            EXPECT_EQ(r.status, "Error: " + type + " Block Data not separated");
        }
        EXPECT_EQ(call(handler, 0, "x\na.txt", -1).result, kRefused);
        EXPECT_EQ(call(handler, 5, "x\na.txt").status,
                  "Error: " + type + " Block only with CNT 0 allowed");
        const SPollResult tooLong = call(handler, 0, std::string(200, 'x') + "\na.txt");
        EXPECT_EQ(tooLong.result, kRefused);
        EXPECT_NE(tooLong.status.find("200"), std::string::npos);
        EXPECT_EQ(call(handler, 0, "x\n" + std::string(200, 'y')).result, kRefused);
    }
    EXPECT_FALSE(FileExists(base / "x"));
    // 199 bytes each are taken; a NUL ends a path.
    const std::string name(199, 'd');
    EXPECT_EQ(call(&CRs232Server::CFBlockReceived, 0, name + "\na.txt" + std::string(193, '\0'))
                  .status,
              "File " + base / "a.txt" + " copied to " + base / name + "!");
    EXPECT_EQ(call(&CRs232Server::DFBlockReceived, 0, name + "g").result, kRefused);
    EXPECT_EQ(call(&CRs232Server::DFBlockReceived, 0, name, -3).result, kRefused);
    EXPECT_EQ(call(&CRs232Server::DFBlockReceived, 1, name).status,
              "Error: DF Block only with CNT 0 allowed");
    EXPECT_TRUE(FileExists(base / name));
    EXPECT_EQ(call(&CRs232Server::DFBlockReceived, 0, name).result, 1);
    EXPECT_FALSE(FileExists(base / name));
}

TEST_F(Files, DirectoryListing) {
    ASSERT_EQ(mkdir((base / "d").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((base / "d/sub").c_str(), 0755), 0);
    WriteFile("d/A.TXT", std::string(500, 'a'), 1000000000);
    WriteFile("list.txt", std::string(5000, '#'));  // replaced, not appended to
    EXPECT_EQ(Quiet("DL", 0, "list.txt\nd/"),
              "Directory " + base / "d/" + " written to File " + base / "list.txt" + "!");
    std::set<std::string> expected{"A.TXT;500;1000000000;20\r"};
    for (const char* name : {".", "..", "sub"}) {
        struct stat st {};
        ASSERT_EQ(stat((base / "d/" + name).c_str(), &st), 0);
        expected.insert(std::string(name) + ";" + std::to_string(st.st_size) + ";" +
                        std::to_string(st.st_mtime) + ";10\r");
    }
    const std::string listing = base.ReadFile("list.txt");
    EXPECT_TRUE(listing.ends_with("\r\n"));
    std::set<std::string> lines;
    std::istringstream in(listing);
    for (std::string line; std::getline(in, line);) lines.insert(line);
    EXPECT_EQ(lines, expected);

    EXPECT_EQ(Quiet("DL", 0, "l2.txt\nmissing/"),
              "Requested Path " + base / "missing" + " not found");
    EXPECT_EQ(Quiet("DL", 0, base / "no/such/l.txt\nd/"),
              "Cannot create list file " + base / "no/such/l.txt");
    EXPECT_FALSE(FileExists(base / "l2.txt"));
}

TEST_F(Files, UploadOverTheLine) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(base.Path().c_str()), 0);  // where the temp file lies
    EXPECT_EQ(Quiet("FT", 0, "up.txt;12"), "Receiving File " + base / "up.txt" + "...");
    EXPECT_EQ(Quiet("FT", 1, "Hello, "), "");
    EXPECT_EQ(Quiet("FT", 2, "world"), "");
    EXPECT_EQ(Quiet("FT", -1, ""),
              "Receiving and Copy and Rename (Backup) File " + base / "up.txt" + " OK!");
    EXPECT_EQ(base.ReadFile("up.txt"), "Hello, world");
    EXPECT_FALSE(FileExists(base / "FT_TMP03.TMP"));
    ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(Files, AccessLimits) {
    ASSERT_TRUE(MakeDir(base / "pub"));
    WriteFile("pub/in.txt", "inside");
    WriteFile("secret.txt", "outside");
    // A link inside the root that points out of it must not open a way out.
    ASSERT_EQ(symlink((base / "secret.txt").c_str(), (base / "pub/link.txt").c_str()), 0);
    server.SetAccessLimits({base / "pub", false});
    const std::string root = CanonicalPath(base / "pub");
    EXPECT_EQ(server.GetAccessLimits().root, root);
    EXPECT_EQ(Exchange("IR", 0, "pub/in.txt").first.cnt, 0);
    for (const char* path : {"secret.txt", "pub/../secret.txt", "pub/link.txt", "/etc/passwd"}) {
        SCOPED_TRACE(path);
        const std::string refused =
            "Access to " + server.ResolvePath(path) + " refused: outside " + root;
        auto [fi, r] = Exchange("IR", 0, path);
        EXPECT_EQ(Text(fi.data), "File not found");
        EXPECT_EQ(r.status, refused);
        std::tie(fi, r) = Exchange("RF", 0, path);
        EXPECT_EQ(fi.cnt, -2);
        EXPECT_EQ(r.status, refused);
    }
    EXPECT_EQ(Quiet("DF", 0, "secret.txt"),
              "Access to " + base / "secret.txt" + " refused: outside " + root);
    EXPECT_EQ(Quiet("CF", 0, "pub/copy.txt\nsecret.txt").rfind("Access to ", 0), 0u);
    EXPECT_EQ(Quiet("DL", 0, "pub/list.txt\n./"),
              "Access to " + base.Path() + "./ refused: outside " + root);
    EXPECT_EQ(Quiet("FT", 0, "../x.txt;3").rfind("FTBlockReceived: Access to ", 0), 0u);
    EXPECT_EQ(ReadWholeFile(base / "secret.txt"), "outside");
    EXPECT_FALSE(FileExists(base / "pub/copy.txt") || FileExists(base / "pub/list.txt"));

    // Read-only: every change is refused, and IR is still answered.
    server.SetAccessLimits({"", true});
    const struct { const char* type; long cnt; const char* data; } changes[] = {
        {"DF", 0, "pub/in.txt"}, {"CF", 0, "pub/c.txt\npub/in.txt"}, {"DL", 0, "pub/l.txt\npub/"},
        {"FT", 0, "pub/in.txt;3"}, {"FT", 1, "abc"}};
    for (const auto& c : changes) {
        const std::string refused =
            std::string("Error: ") + c.type + " Block refused, the server is read-only";
        EXPECT_EQ(Quiet(c.type, c.cnt, c.data),
                  c.type == std::string("FT") ? "FTBlockReceived: " + refused : refused);
    }
    EXPECT_EQ(ReadWholeFile(base / "pub/in.txt"), "inside");
    EXPECT_FALSE(FileExists(base / "pub/c.txt"));
    EXPECT_EQ(Exchange("IR", 0, "pub/in.txt").first.cnt, 0);
}

}  // namespace
}  // namespace rs232::test
