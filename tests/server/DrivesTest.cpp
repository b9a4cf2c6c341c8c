// Request paths from clients written against drive letters and a file system that ignores
// case, over a pseudo-terminal: [DRIVES] and [PATHS] IGNORECASE.
#include <unistd.h>

#include "ServerFixture.h"
#include "platform/FileOps.h"

namespace rs232::test {
namespace {

using Paths = ServerOnPty;

struct SCase {
    const char* type;
    std::string data;
    std::string status;  // "<b>" stands for the base path
};

std::string Expand(std::string text, const std::string& base) {
    for (size_t at; (at = text.find("<b>")) != std::string::npos;) text.replace(at, 3, base);
    return text;
}

TEST_F(Paths, DriveLettersMapToTheirDirectories) {
    ASSERT_TRUE(MakeDir(base / "c") && MakeDir(base / "c/DATA") && MakeDir(base / "d"));
    WriteFile("c/DATA/ORDERS.TXT", "orders");
    // C's directory lacks its separator: one is put in between.
    server.SetPathRules({{{'C', base / "c"}, {'D', base / "d/"}}, false});
    const SCase cases[] = {
        {"IR", "C:\\DATA\\ORDERS.TXT", "File Info <b>c/DATA/ORDERS.TXT transmitted to Client!"},
        {"IR", "c:DATA/ORDERS.TXT", "File Info <b>c/DATA/ORDERS.TXT transmitted to Client!"},
        {"IR", "E:\\DATA\\ORDERS.TXT",
         "Access to E:\\DATA\\ORDERS.TXT refused: drive E: is not listed in [DRIVES]"},
        {"DF", "e:\\x", "Access to e:\\x refused: drive E: is not listed in [DRIVES]"},
        {"CF", "D:\\COPY.TXT\nC:\\DATA\\ORDERS.TXT",
         "File <b>c/DATA/ORDERS.TXT copied to <b>d/COPY.TXT!"},
        {"CF", "F:\\COPY.TXT\nC:\\DATA\\ORDERS.TXT",
         "Access to F:\\COPY.TXT refused: drive F: is not listed in [DRIVES]"},
        {"FT", "C:\\DATA\\report.txt;3", "Receiving File <b>c/DATA/report.txt..."},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.data);
        if (c.type == std::string("IR")) {
            const auto [fi, r] = Exchange(c.type, 0, c.data);
            EXPECT_EQ(r.status, Expand(c.status, base.Path()));
            EXPECT_EQ(fi.cnt, r.status.starts_with("File Info") ? 0 : -1);
        } else {
            EXPECT_EQ(Quiet(c.type, 0, c.data), Expand(c.status, base.Path()));
        }
    }
    EXPECT_EQ(base.ReadFile("d/COPY.TXT"), "orders");

    // The access root still applies once a letter is mapped.
    server.SetAccessLimits({base / "d", false});
    const std::string root = CanonicalPath(base / "d");
    EXPECT_EQ(Quiet("DF", 0, "C:\\DATA\\ORDERS.TXT"),
              "Access to " + base / "c/DATA/ORDERS.TXT refused: outside " + root);
    EXPECT_EQ(Quiet("FT", 0, "D:\\..\\c\\DATA\\ORDERS.TXT;3"),
              "FTBlockReceived: Access to " + base / "d/../c/DATA/ORDERS.TXT" +
                  " refused: outside " + root);
    EXPECT_EQ(base.ReadFile("c/DATA/ORDERS.TXT"), "orders");
}

TEST_F(Paths, IgnoredLetterCaseFindsTheOneMatchingEntry) {
    ASSERT_TRUE(MakeDir(base / "Data") && MakeDir(base / "Twins"));
    WriteFile("Data/Orders.txt", "orders");
    WriteFile("Data/a.txt", "exact");
    WriteFile("Data/A.TXT", "upper");
    WriteFile("Twins/x", "");
    server.SetPathRules({{}, true});
    const std::string ambiguous = "is ambiguous in <b>Data/: several entries match it ignoring case";
    const SCase cases[] = {
        {"IR", "DATA\\ORDERS.TXT", "File Info <b>Data/Orders.txt transmitted to Client!"},
        {"IR", "data/a.txt", "File Info <b>Data/a.txt transmitted to Client!"},  // exact wins
        {"IR", "DATA/a.Txt", "Requested name a.Txt " + ambiguous},
        {"IR", "Data/none/Orders.txt", "Requested File <b>Data/none/Orders.txt not found"},
        // Created names: the directories resolve, the final name too when an entry matches.
        {"CF", "DATA\\NEW.TXT\ndata\\orders.txt",
         "File <b>Data/Orders.txt copied to <b>Data/NEW.TXT!"},
        {"CF", "data\\new.txt\nDATA\\a.txt", "File <b>Data/a.txt copied to <b>Data/NEW.TXT!"},
        {"DF", "DATA\\A.tXt", "Requested name A.tXt " + ambiguous},
        {"DL", "DATA\\LIST.TXT\ntwins\\", "Directory <b>Twins/ written to File <b>Data/LIST.TXT!"},
        {"FT", "data\\report.TXT;3", "Receiving File <b>Data/report.TXT..."},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.data);
        if (c.type == std::string("IR")) {
            const auto [fi, r] = Exchange(c.type, 0, c.data);
            EXPECT_EQ(r.status, Expand(c.status, base.Path()));
            EXPECT_EQ(fi.cnt, r.status.starts_with("File Info") ? 0 : -1);
        } else {
            EXPECT_EQ(Quiet(c.type, 0, c.data), Expand(c.status, base.Path()));
        }
    }
    EXPECT_EQ(base.ReadFile("Data/NEW.TXT"), "exact");
    EXPECT_EQ(base.ReadFile("Data/A.TXT"), "upper");
    EXPECT_FALSE(FileExists(base / "DATA"));
}

}  // namespace
}  // namespace rs232::test
