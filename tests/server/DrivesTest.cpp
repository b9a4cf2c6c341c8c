// Request paths from clients written against drive letters and a file system that ignores
// case, over a pseudo-terminal: [DRIVES] and [PATHS] IGNORECASE.
#include "ServerFixture.h"
#include "platform/FileOps.h"

namespace rs232::test {
namespace {

struct SCase { const SPathRules& rules; const char* type; std::string data, status; };

TEST_F(ServerOnPty, DriveLettersAndLetterCase) {
    for (const char* dir : {"c", "c/DATA", "d", "Data"}) ASSERT_TRUE(MakeDir(base / dir));
    WriteFile("c/DATA/ORDERS.TXT", "orders");
    WriteFile("Data/a.txt", "exact");
    WriteFile("Data/A.TXT", "upper");
    WriteFile("Data/Copy.txt", "old");
    // C's directory lacks its separator: one is put in between.
    const SPathRules drives{{{'C', base / "c"}, {'D', base / "d/"}}, false}, folded{{}, true};
    const std::string b = base.Path(), orders = b + "c/DATA/ORDERS.TXT";
    const std::string ambiguous =
        " is ambiguous in " + b + "Data/: several entries match it ignoring case";
    const std::string unlisted = " refused: drive E: is not listed in [DRIVES]";
    const SCase cases[] = {
        {drives, "IR", "C:\\DATA\\ORDERS.TXT", "File Info " + orders + " transmitted to Client!"},
        {drives, "IR", "c:DATA/ORDERS.TXT", "File Info " + orders + " transmitted to Client!"},
        {drives, "IR", "E:\\DATA\\ORDERS.TXT", "Access to E:\\DATA\\ORDERS.TXT" + unlisted},
        {drives, "DF", "e:\\x", "Access to e:\\x" + unlisted},
        {drives, "FT", "C:\\DATA\\report.txt;3", "Receiving File " + b + "c/DATA/report.txt..."},
        {folded, "IR", "C/data/orders.txt", "File Info " + orders + " transmitted to Client!"},
        // The exact name wins.
        {folded, "IR", "data/a.txt", "File Info " + b + "Data/a.txt transmitted to Client!"},
        {folded, "IR", "DATA/a.Txt", "Requested name a.Txt" + ambiguous},
        {folded, "DF", "DATA\\A.tXt", "Requested name A.tXt" + ambiguous},
        // Created names: the directories resolve, the final name too when an entry matches.
        {folded, "FT", "data\\report.TXT;3", "Receiving File " + b + "Data/report.TXT..."},
        {folded, "CF", "data\\COPY.txt\nc\\data\\orders.txt",
         "File " + orders + " copied to " + b + "Data/Copy.txt!"},
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
    // The access root still applies once a letter is mapped.
    server.SetPathRules(drives);
    server.SetAccessLimits({base / "d", false});
    EXPECT_EQ(Quiet("DF", 0, "C:\\DATA\\ORDERS.TXT"),
              "Access to " + orders + " refused: outside " + CanonicalPath(base / "d"));
}

}  // namespace
}  // namespace rs232::test
