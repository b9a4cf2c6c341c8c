// The optional access limits: a root that confines every path, and a read-only server.
#include <unistd.h>

#include "ServerFixture.h"
#include "platform/FileOps.h"

namespace rs232::test {
namespace {

class Access : public ServerOnPty {
protected:
    void SetUp() override {
        ServerOnPty::SetUp();
        ASSERT_TRUE(MakeDir(base / "pub"));
        WriteFile("pub/in.txt", "inside");
        WriteFile("secret.txt", "outside");
        // A link inside the root that points out of it must not open a way out.
        ASSERT_EQ(symlink((base / "secret.txt").c_str(), (base / "pub/link.txt").c_str()), 0);
        server.SetAccessLimits({base / "pub", false});
        root = CanonicalPath(base / "pub");
    }
    std::string root;
};

TEST_F(Access, PathsOutsideTheRootGetTheAnswersClientsKnow) {
    SAccessLimits limits = server.GetAccessLimits();
    EXPECT_EQ(limits.root, root);

    // Inside: served as usual.
    auto inside = Request("IR", 0, "pub/in.txt");
    EXPECT_EQ(Reply().cnt, 0);
    EXPECT_EQ(inside.get().result, 1);

    for (const std::string& path : {std::string("secret.txt"), std::string("pub/../secret.txt"),
                                     std::string("pub/link.txt"), std::string("/etc/passwd")}) {
        SCOPED_TRACE(path);
        auto info = Request("IR", 0, path);
        SReadBlock fi = Reply();
        EXPECT_EQ(fi.cnt, -1);
        EXPECT_EQ(std::string(fi.data.begin(), fi.data.end()), "File not found");
        EXPECT_EQ(info.get().status.rfind("Access to ", 0), 0u);

        auto download = Request("RF", 0, path);
        SReadBlock sf = Reply();
        EXPECT_EQ(sf.cnt, -2);
        EXPECT_EQ(download.get().status,
                  "Access to " + server.ResolvePath(path) + " refused: outside " + root);
    }

    EXPECT_EQ(Quiet("DF", 0, "secret.txt"),
              "Access to " + base / "secret.txt" + " refused: outside " + root);
    EXPECT_EQ(Quiet("CF", 0, "pub/copy.txt\nsecret.txt").rfind("Access to ", 0), 0u);
    EXPECT_EQ(Quiet("DL", 0, "pub/list.txt\n./"),
              "Access to " + base.Path() + "./ refused: outside " + root);
    EXPECT_EQ(Quiet("FT", 0, "../x.txt;3").rfind("FTBlockReceived: Access to ", 0), 0u);
    EXPECT_EQ(ReadWholeFile(base / "secret.txt"), "outside");
    EXPECT_FALSE(FileExists(base / "pub/copy.txt"));
    EXPECT_FALSE(FileExists(base / "pub/list.txt"));
}

TEST_F(Access, AReadOnlyServerRefusesEveryChangeButStillAnswers) {
    server.SetAccessLimits({"", true});
    EXPECT_EQ(Quiet("DF", 0, "pub/in.txt"), "Error: DF Block refused, the server is read-only");
    EXPECT_EQ(Quiet("CF", 0, "pub/c.txt\npub/in.txt"),
              "Error: CF Block refused, the server is read-only");
    EXPECT_EQ(Quiet("DL", 0, "pub/l.txt\npub/"), "Error: DL Block refused, the server is read-only");
    EXPECT_EQ(Quiet("FT", 0, "pub/in.txt;3"),
              "FTBlockReceived: Error: FT Block refused, the server is read-only");
    EXPECT_EQ(Quiet("FT", 1, "abc"),
              "FTBlockReceived: Error: FT Block refused, the server is read-only");
    EXPECT_EQ(ReadWholeFile(base / "pub/in.txt"), "inside");
    EXPECT_FALSE(FileExists(base / "pub/c.txt"));

    auto info = Request("IR", 0, "pub/in.txt");
    EXPECT_EQ(Reply().cnt, 0);
    EXPECT_EQ(info.get().result, 1);
}

TEST(CanonicalPath, TakesOutDotsAndResolvesLinksOfTheExistingPart) {
    CTempDir dir;
    const std::string real = CanonicalPath(dir.Path());
    ASSERT_TRUE(MakeDir(dir / "a"));
    ASSERT_EQ(symlink((dir / "a").c_str(), (dir / "l").c_str()), 0);
    EXPECT_EQ(CanonicalPath(dir / "l/new/../x"), real + "/a/x");
    EXPECT_EQ(CanonicalPath(dir / "a/./b/../../.."), CanonicalPath(dir / ".."));
    EXPECT_EQ(CanonicalPath("/../../etc/./passwd"), "/etc/passwd");
    EXPECT_EQ(CanonicalPath("/"), "/");
}

}  // namespace
}  // namespace rs232::test
