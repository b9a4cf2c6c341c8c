// Request paths from clients written against drive letters and a file system that ignores
// case, over a pseudo-terminal: [DRIVES] and [PATHS] IGNORECASE.
#include "ServerFixture.h"
#include "platform/FileOps.h"

namespace rs232::test {
namespace {

TEST_F(ServerOnPty, DriveLettersAndLetterCase) {
    for (const char* dir : {"c", "c/DATA", "d", "Data"}) ASSERT_TRUE(MakeDir(base / dir));
    WriteFile("c/DATA/ORDERS.TXT", "orders");
    WriteFile("Data/a.txt", "exact");
    WriteFile("Data/A.TXT", "upper");
    // C's directory lacks its separator: one is put in between.
    const SPathRules drives{{{'C', base / "c"}, {'D', base / "d/"}}, false}, folded{{}, true};
    const std::string b = base.Path(), orders = b + "c/DATA/ORDERS.TXT";
    const std::string ambiguous = " is ambiguous in " + b + "Data/: several entries match it ignoring case";
    const std::string unlisted = " refused: drive E: is not listed in [DRIVES]";
    const struct { const SPathRules& rules; const char* type; std::string data, status; } cases[] = {
        {drives, "IR", "C:\\DATA\\ORDERS.TXT", "File Info " + orders + " transmitted to Client!"},
        {drives, "IR", "c:DATA/ORDERS.TXT", "File Info " + orders + " transmitted to Client!"},
        {drives, "IR", "E:\\DATA\\ORDERS.TXT", "Access to E:\\DATA\\ORDERS.TXT" + unlisted},
        {drives, "DF", "e:\\x", "Access to e:\\x" + unlisted},
        {drives, "CF", "D:\\COPY.TXT\nC:\\DATA\\ORDERS.TXT", "File " + orders + " copied to " + b + "d/COPY.TXT!"},
        {drives, "FT", "C:\\DATA\\report.txt;3", "Receiving File " + b + "c/DATA/report.txt..."},
        {folded, "IR", "C/data/orders.txt", "File Info " + orders + " transmitted to Client!"},
        {folded, "IR", "data/a.txt", "File Info " + b + "Data/a.txt transmitted to Client!"},  // exact wins
        {folded, "IR", "DATA/a.Txt", "Requested name a.Txt" + ambiguous},
        {folded, "DF", "DATA\\A.tXt", "Requested name A.tXt" + ambiguous},
        {folded, "IR", "Data/none/a.txt", "Requested File " + b + "Data/none/a.txt not found"},
        // Created names: the directories resolve, the final name too when an entry matches.
        {folded, "CF", "DATA\\NEW.TXT\nDATA\\a.txt", "File " + b + "Data/a.txt copied to " + b + "Data/NEW.TXT!"},
        {folded, "CF", "data\\new.txt\nc\\data\\orders.txt", "File " + orders + " copied to " + b + "Data/NEW.TXT!"},
        {folded, "DL", "DATA\\LIST.TXT\nD\\", "Directory " + b + "d/ written to File " + b + "Data/LIST.TXT!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data);
        server.SetPathRules(c.rules);
        if (c.type == std::string("IR")) {
            const auto [fi, r] = Exchange("IR", 0, c.data);
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(fi.cnt, c.status.starts_with("File Info") ? 0 : -1);
        } else {
            EXPECT_EQ(Quiet(c.type, 0, c.data), c.status);
        }
    }
    EXPECT_EQ(base.ReadFile("Data/NEW.TXT"), "orders");
    EXPECT_EQ(base.ReadFile("Data/A.TXT"), "upper");
    // The access root still applies once a letter is mapped.
    server.SetPathRules(drives);
    server.SetAccessLimits({base / "d", false});
    EXPECT_EQ(Quiet("DF", 0, "C:\\DATA\\ORDERS.TXT"),
              "Access to " + orders + " refused: outside " + CanonicalPath(base / "d"));
    EXPECT_EQ(base.ReadFile(orders), "orders");
}

}  // namespace
}  // namespace rs232::test
