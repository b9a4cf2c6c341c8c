// All seven requests and their refusals over a pseudo-terminal, as tables: the request block, the
// reply blocks the client receives (each ACKed), the status text and what the files hold after;
// drive letters and letter case.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "ServerFixture.h"
#include "platform/FileOps.h"
#include "platform/NewFile.h"
#include "platform/Paths.h"
#include "platform/TextFormat.h"

namespace rs232::test {
namespace {

const std::string kGone = "(no such file)";

std::string B(const char* type, long cnt, const std::string& data) { return Text(MakeBlock(type, cnt, data)); }
std::string Ok(const std::string& target) {
    return "Receiving and Copy and Rename (Backup) File " + target + " OK!";
}

// "@" in data, status and file names stands for the base path, "#" for the backup name prefix.
struct SRow {
    const char* type;
    long cnt;
    std::string data, replies, status, file = {}, content = {};
};

class Requests : public ServerOnPty {
protected:
    void SetUp() override {
        ServerOnPty::SetUp();
        ASSERT_EQ(chdir(base.Path().c_str()), 0);  // where the upload temp file lies
        ASSERT_TRUE(MakeDir(base / "BAK") && MakeDir(base / "sub") && MakeDir(base / "pub"));
        server.SetBackupPath(base / "BAK/");
        server.SetLinkLimits(SLinkLimits{300ms, 300ms, 1000ms, 0ms});
        SetClockForTest([] { return int64_t{1000000000}; });
        const CLocalTime t = LocalTime(1000000000);
        backup = FormatText("BAK/BAK3_%4.4d%2.2d%2.2d%2.2d%2.2d%2.2d_", t.year, t.month, t.day, t.hour, t.minute, t.second);
        WriteFile("a.txt", "alpha", 1000000000);
        WriteFile("pub/in.txt", "inside", 1000000000);
    }
    void TearDown() override {
        ServerOnPty::TearDown();
        ASSERT_EQ(chdir("/"), 0);
    }
    std::string Expand(std::string s) const {
        for (size_t at; (at = s.find('@')) != std::string::npos;) s.replace(at, 1, base.Path());
        for (size_t at; (at = s.find('#')) != std::string::npos;) s.replace(at, 1, backup);
        return s;
    }
    void Run(const std::vector<SRow>& rows) {
        for (const SRow& row : rows) {
            const std::string data = Expand(row.data);
            SCOPED_TRACE(std::string(row.type) + " " + std::to_string(row.cnt) + " " + data);
            auto done = Poll(MakeBlock(row.type, row.cnt, data));
            EXPECT_EQ(pty.Read(1), Bytes{ACK});
            std::string replies, status;
            SPollEvent event;
            for (SReadBlock block; done.wait_for(0ms) != std::future_status::ready;)
                if (pty.ReadBlock(block, 20ms)) {
                    replies += Text(block.raw);
                    if (answer) pty.Send(answer);
                }
            event = done.get().event;
            status = event.report ? "report: " + event.text : event.text;  // a file error
            EXPECT_EQ(replies, row.replies);
            EXPECT_EQ(status, Expand(row.status));
            events.push_back(event);
            if (!row.file.empty()) {
                EXPECT_EQ(FileExists(Expand(row.file)) ? ReadWholeFile(Expand(row.file)) : kGone, row.content);
            }
        }
    }
    std::string backup;
    std::vector<SPollEvent> events;
    uint8_t answer = ACK;  // to every reply block; 0: none
};

TEST_F(Requests, EveryTypeAndItsRefusals) {
    const std::string dt = "Actual date/time transmitted to Client!", name199(199, 'd');
    const int fd = open((base / "huge.bin").c_str(), O_CREAT | O_WRONLY, 0644);  // sparse, 3 GiB
    ASSERT_TRUE(fd >= 0 && ftruncate(fd, 3LL << 30) == 0 && close(fd) == 0);
    const utimbuf times{1000000000, 1000000000};
    utime((base / "huge.bin").c_str(), &times);
    const int big = open((base / "big.bin").c_str(), O_CREAT | O_WRONLY, 0644);  // 999999 blocks + 1 byte
    ASSERT_TRUE(big >= 0 && ftruncate(big, 499999501) == 0 && close(big) == 0);
    WriteFile("ro.txt", "abc", 1000000000);
    chmod((base / "ro.txt").c_str(), 0444);
    const std::string path99 = "/" + std::string(98, 'p');
    ASSERT_EQ(mkfifo((base / "fifo").c_str(), 0600), 0);
    WriteFile("held.txt", "being written");
    const int held = open((base / "held.txt").c_str(), O_RDONLY);  // by another program
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    Run({
        {"DR", 0, "ignored", B("DT", 0, "1000000000"), dt},
        {"DR", 1, "", "", "Error: DR Block only with CNT 0 allowed"},
        {"IR", 0, "@a.txt", B("FI", 0, "5;1000000000; "), "File Info @a.txt transmitted to Client!"},
        {"IR", 0, "missing", B("FI", -1, "File not found"), "Requested File @missing not found"},
        {"IR", 0, path99, B("FI", -1, "File not found"), "Requested File " + path99 + " not found"},
        {"IR", 0, path99 + "q", B("FI", -1, "File not found"), "Requested path too long (100 bytes)"},
        {"IR", 0, "huge.bin", B("FI", 0, "2147483647;1000000000; "),
         "File Info @huge.bin transmitted to Client! The file is too large for the size field (3221225472 bytes), size sent as 2147483647"},
        {"RF", 0, "a.txt", B("SF", 0, "a.txt;5") + B("SF", 1, "alpha") + B("SF", -1, ""),
         "File @a.txt transmitted to Client!"},
        // The header repeats the request as sent, up to a NUL.
        {"RF", 0, std::string("sub\\..\\a.txt\0junk", 17), B("SF", 0, "sub\\..\\a.txt;5") + B("SF", 1, "alpha") + B("SF", -1, ""),
         "File @sub/../a.txt transmitted to Client!"},
        {"RF", 0, "none", B("SF", -2, "File not found"), "Requested File @none not found"},
        {"RF", 0, "sub", B("SF", -2, "File Open Error"), "Cannot open requested file @sub"},
        {"RF", 0, std::string(100, 'a'), B("SF", -2, "File Open Error"),
         "Requested path too long (100 bytes), download refused"},
        {"RF", 0, "big.bin", B("SF", -2, "File Open Error"),
         "File @big.bin too large to transmit (499999501 bytes, at most 499999500)"},
        {"XY", 0, "data", "", "Unknown block typ"},
        {"CF", 0, "b.txt\na.txt", "", "File @a.txt copied to @b.txt!", "@b.txt", "alpha"},
        // A copy keeps the time and the read-only mode; a FIFO is refused at once, never a stall.
        {"CF", 0, "r2.txt\nro.txt", "", "File @ro.txt copied to @r2.txt!"},
        {"IR", 0, "r2.txt", B("FI", 0, "3;1000000000;!"), "File Info @r2.txt transmitted to Client!"},
        {"RF", 0, "fifo", B("SF", -2, "File Open Error"), "Cannot open requested file @fifo"},
        {"RF", 0, "held.txt", B("SF", -2, "File Open Error"), "Cannot open requested file @held.txt"},
        {"CF", 0, "c.txt\nheld.txt", "", "Error CopyFile @held.txt to @c.txt!", "@c.txt", kGone},
        {"CF", 0, "held.txt\na.txt", "", "Error CopyFile @a.txt to @held.txt!", "@held.txt", "being written"},
        {"CF", 0, "c.txt\nnone", "", "Requested File @none not found", "@c.txt", kGone},
        {"CF", 0, "c.txt\nsub", "", "Error CopyFile @sub to @c.txt!", "@c.txt", kGone},
        {"CF", 0, "a.txt", "", "Error: CF Block Data not separated"},
        {"CF", 0, "\na.txt", "", "Error: CF Block Data not separated"},
        {"CF", 0, std::string(200, 'x') + "\na.txt", "", "Error: CF Block path length 200 refused (at most 199 bytes)"},
        {"CF", 0, name199 + "\na.txt" + std::string(193, '\0'), "", "File @a.txt copied to @" + name199 + "!"},
        {"DF", 0, name199 + "g", "", "Error: DF Block path length 200 refused (at most 199 bytes)", "@" + name199, "alpha"},
        {"DF", 0, name199, "", "File @" + name199 + " Removed!", "@" + name199, kGone},
        {"DF", 0, "@b.txt", "", "File @b.txt Removed!", "@b.txt", kGone},
        {"DF", 0, "b.txt", "", "Requested File @b.txt not found"},
        {"DF", 0, "sub", "", "report: File error: remove failed on @sub: Is a directory", "@sub/", ""},
        {"DL", 0, "l.txt\nmissing/", "", "Requested Path @missing not found", "@l.txt", kGone},
        {"DL", 0, "@no/such/l.txt\nsub/", "", "Cannot create list file @no/such/l.txt"},
        {"DL", 0, "", "", "Error: DL Block Data not separated"},
    });
    close(held);
    // Clocks past 2038 go out as they are, and the operator is told.
    SetClockForTest([] { return int64_t{4294967301}; });
    Run({{"DR", 0, "", B("DT", 0, "4294967301"), dt + " Clock 4294967301 is outside the 32-bit range"}});
}

TEST_F(Requests, Uploads) {
    const std::string name99(99, 'n');
    Run({
        {"FT", 1, "x", "", "FTBlockReceived: Block missing rec: 1 exp: 0"},
        {"FT", -1, "", "", "FTBlockReceived: Error Block Missing!"},
        {"FT", 0, "\\" + base.Path().substr(1) + "sub\\up.txt;12", "", "Receiving File @sub/up.txt..."},
        {"FT", 1, "1234567", "", ""},
        {"FT", 2, "89abc", "", ""},
        {"FT", 2, "89abc", "", "FTBlockReceived: Block retry 2"},
        {"FT", 3, "", "", ""},  // LEN 0 advances the block number only
        {"FT", -1, "", "", Ok("@sub/up.txt"), "@sub/up.txt", "123456789abc"},
        {"FT", -1, "", "", "FTBlockReceived: File end without file data!", "#up.txt", "123456789abc"},
        // The same target within the same second takes over the backup name.
        {"FT", 0, "sub/up.txt;3", "", "Receiving File @sub/up.txt..."},
        {"FT", 1, "xyz", "", ""},
        {"FT", -1, "", "", Ok("@sub/up.txt"), "#up.txt", "xyz"},
        // Refused start blocks keep the upload in progress.
        {"FT", 0, "a;keep.txt;6", "", "Receiving File @keep.txt..."},
        {"FT", 1, "abc", "", ""},
        {"FT", 0, "6", "", "FTBlockReceived: Start block without ';' refused"},
        {"FT", 0, std::string(100, 'p') + ";6", "", "FTBlockReceived: Start block refused, path segment or size of 100 bytes too long"},
        {"FT", 0, "FT_TMP03.TMP;3", "", "FTBlockReceived: Start block refused, @FT_TMP03.TMP is the upload temp file"},
        {"FT", 2, "def", "", ""},
        {"FT", -1, "", "", Ok("@keep.txt"), "@keep.txt", "abcdef"},
        {"FT", 0, "g;4", "", "Receiving File @g..."},
        {"FT", 1, "ab", "", ""},
        {"FT", 3, "cd", "", "FTBlockReceived: Block missing rec: 3 exp: 2"},
        {"FT", -1, "", "", "FTBlockReceived: Error Block Missing!", "@g", kGone},
        {"FT", 0, "b;5", "", "Receiving File @b..."},
        {"FT", 1, "abcd", "", ""},
        {"FT", -1, "", "", "FTBlockReceived: Receiving File Size ERROR 4 != 5", "@b", kGone},
        {"FT", 0, name99 + ";1", "", "Receiving File @" + name99 + "..."},
        // The copy fails (no such directory), the backup is kept.
        {"FT", 0, "no/dir/t.txt;2", "", "Receiving File @no/dir/t.txt..."},
        {"FT", 1, "ho", "", ""},
        {"FT", -1, "", "", "Receiving and Rename (Backup) File @no/dir/t.txt OK. Copy failed !!!", "#t.txt", "ho"},
        {"FT", 0, "u.txt;1", "", "Receiving File @u.txt..."},
    });
    // A temp file that cannot be opened fails the upload, and a start block that cannot remove
    // it fails with a file error.
    ASSERT_TRUE(MakeDir(base / "FT_TMP03.TMP"));
    Run({{"FT", 1, "u", "", "FTBlockReceived: Error Open Tmp File <FT_TMP03.TMP>"},
         {"FT", -1, "", "", "FTBlockReceived: Error Block Missing!", "@u.txt", kGone},
         {"FT", 0, "v.txt;1", "", "report: File error: remove failed on FT_TMP03.TMP: Is a directory"}});
    // Backups on another file system: the temp file is moved there as a copy.
    char shm[] = "/dev/shm/rs232-test-XXXXXX";
    if (std::filesystem::remove(base / "FT_TMP03.TMP") && mkdtemp(shm)) {
        server.SetBackupPath(std::string(shm) + "/");
        Run({{"FT", 0, "w.txt;2", "", "Receiving File @w.txt..."},
             {"FT", 1, "hi", "", ""},
             {"FT", -1, "", "", Ok("@w.txt"), std::string(shm) + "/" + backup.substr(4) + "w.txt", "hi"}});
        EXPECT_FALSE(FileExists(base / "FT_TMP03.TMP"));
        std::filesystem::remove_all(shm);
    }
}

// Each request's outcome as it ended: what it moved, the upload's from its start block to its
// end block; the lines in between keep a level of their own. The owner's periodic work runs
// once a block, both ways.
TEST_F(Requests, Outcomes) {
    int pumps = 0;
    server.SetMessagePump([&] { ++pumps; });
    // "123456789" has the CRC-32 cbf43926.
    Run({{"FT", 0, "@o.txt;9", "", "Receiving File @o.txt..."},
         {"FT", 1, "12345", "", ""},
         {"FT", 1, "12345", "", "FTBlockReceived: Block retry 1"},
         {"FT", 2, "6789", "", ""},
         {"FT", -1, "", "", Ok("@o.txt")},
         {"RF", 0, "o.txt", B("SF", 0, "o.txt;9") + B("SF", 1, "123456789") + B("SF", -1, ""), "File @o.txt transmitted to Client!"},
         {"FT", 0, "no/dir/p.txt;1", "", "Receiving File @no/dir/p.txt..."},
         {"FT", 1, "x", "", ""},
         {"FT", -1, "", "", "Receiving and Rename (Backup) File @no/dir/p.txt OK. Copy failed !!!"},
         {"DF", 0, "none", "", "Requested File @none not found"},
         {"XY", 0, "", "", "Unknown block typ"}});
    using L = EEventLevel;
    const std::vector<L> levels = {L::Info, L::Info, L::Warning, L::Info, L::Info, L::Info, L::Info, L::Info, L::Error, L::Error, L::Error};
    const std::vector<std::tuple<ERequest, EResult, std::string, int64_t, std::optional<uint32_t>, std::string, long>> outcomes = {
        {ERequest::FT, EResult::Served, "@o.txt", 9, 0xcbf43926u, "@#o.txt", 1}, {ERequest::RF, EResult::Served, "@o.txt", 9, 0xcbf43926u, "", 0},
        {ERequest::FT, EResult::Failed, "@no/dir/p.txt", 1, 0x8cdc1683u, "@#p.txt", 0}, {ERequest::DF, EResult::Refused, "@none", 0, {}, "", 0},
        {ERequest::Unknown, EResult::Refused, "", 0, {}, "", 0}};
    ASSERT_EQ(events.size(), levels.size());
    auto outcome = outcomes.begin();
    for (size_t i = 0; i < events.size(); ++i) {
        const SPollEvent& e = events[i];
        EXPECT_EQ(e.level, levels[i]) << e.text;
        if (!e.outcome || outcome == outcomes.end()) continue;
        const SRequestOutcome& o = *e.outcome;
        const auto& [request, result, file, bytes, crc, backup, retries] = *outcome++;
        EXPECT_EQ(std::tuple(o.request, o.result, o.level, o.text, o.file, o.bytes, o.crc32, o.backup, o.retries),
                  std::tuple(request, result, e.level, e.text, Expand(file), bytes, crc, Expand(backup), retries));
    }
    EXPECT_EQ(outcome, outcomes.end());
    EXPECT_GE(pumps, 4) << "three data blocks stored, one sent";
}

// Every request ends once, with its file (DR's aside), however it ends: refused at its start,
// at a data block or at its end, abandoned for a new start, failed on the line or at a file;
// the blocks a client sends after a refused start, and blocks outside an upload, end nothing.
TEST_F(Requests, EveryRequestEndsOnceWithItsFile) {
    server.SetAccessLimits({base / "pub", false});
    const std::string out = " refused: outside " + CanonicalPath(base / "pub"), missing = "FTBlockReceived: File end without file data!";
    const std::string ro = "FTBlockReceived: Error: FT Block refused, the server is read-only";
    Run({{"FT", 0, "x.txt;3", "", "FTBlockReceived: Access to @x.txt" + out}, {"FT", 1, "abc", "", ""}, {"FT", -1, "", "", ""},
         {"FT", -1, "", "", missing},
         {"FT", 0, "6", "", "FTBlockReceived: Start block without ';' refused"}, {"FT", -1, "", "", ""},
         {"FT", 0, "pub/a.txt;3", "", "Receiving File @pub/a.txt..."},
         {"FT", 0, "pub/e.txt;3", "", "Receiving File @pub/e.txt..."}, {"FT", -1, "", "", missing}, {"FT", -1, "", "", missing},
         {"FT", 0, "pub/m.txt;3", "", "Receiving File @pub/m.txt..."}, {"FT", 2, "bc", "", "FTBlockReceived: Block missing rec: 2 exp: 1"},
         {"FT", -1, "", "", "FTBlockReceived: Error Block Missing!"},
         {"FT", 0, "pub/r.txt;3", "", "Receiving File @pub/r.txt..."}, {"FT", 1, "a", "", ""}});
    server.SetAccessLimits({base / "pub", true});
    Run({{"FT", 2, "bc", "", ro}, {"FT", -1, "", "", ro},
         {"FT", 0, "pub/in.txt;3", "", ro}, {"FT", 1, "abc", "", ""}, {"FT", -1, "", "", ""}});
    server.SetAccessLimits({base / "pub", false});
    server.SetLinkLimits(SLinkLimits{300ms, 300ms, 100ms, 0ms});
    const std::string header = B("SF", 0, "pub/in.txt;6");
    for (const uint8_t a : {uint8_t{EOT}, uint8_t{NAK}, uint8_t{0}}) {
        answer = a;
        Run({{"RF", 0, "pub/in.txt", a == EOT ? header : header + header + header, FormatText("Error %d (Pos 1) while sending SF Block!", a == EOT ? kSendEot : a ? kSendNakLimit : kTimeout)}});
    }
    answer = ACK;
    Run({{"IR", 1, "pub/in.txt", "", "Error: IR Block only with CNT 0 allowed"},
         {"DF", 0, "pub", "", "report: File error: remove failed on @pub: Is a directory"},
         {"DR", 0, "", B("DT", 0, "1000000000"), "Actual date/time transmitted to Client!"}});
    using R = ERequest;
    using E = EResult;
    const std::vector<std::tuple<ERequest, EResult, std::string>> expected = {
        {R::FT, E::Refused, "@x.txt"}, {R::FT, E::Refused, "6"}, {R::FT, E::Failed, "@pub/a.txt"}, {R::FT, E::Refused, "@pub/e.txt"}, {R::FT, E::Failed, "@pub/m.txt"},
        {R::FT, E::Refused, "@pub/r.txt"}, {R::FT, E::Refused, "@pub/in.txt"}, {R::RF, E::Failed, "@pub/in.txt"}, {R::RF, E::Failed, "@pub/in.txt"},
        {R::RF, E::Failed, "@pub/in.txt"}, {R::IR, E::Refused, "@pub/in.txt"}, {R::DF, E::Failed, "@pub"}, {R::DR, E::Served, ""}};
    std::vector<std::tuple<ERequest, EResult, std::string>> outcomes;
    for (const SPollEvent& e : events)
        if (e.outcome) outcomes.emplace_back(e.outcome->request, e.outcome->result, e.outcome->file);
    for (auto& [request, result, file] : outcomes)
        if (file.starts_with(base.Path())) file.replace(0, base.Path().size(), "@");
    EXPECT_EQ(outcomes, expected);
    EXPECT_EQ(std::pair(server.Activity().served, server.Activity().failed), std::pair(1L, 12L));
}

// A root confines every request, a link inside it that points out included; read-only refuses
// every change and still answers IR.
TEST_F(Requests, AccessLimits) {
    WriteFile("secret.txt", "outside");
    ASSERT_EQ(symlink((base / "secret.txt").c_str(), (base / "pub/link.txt").c_str()), 0);
    server.SetAccessLimits({base / "pub", false});
    const std::string out = " refused: outside " + CanonicalPath(base / "pub");
    std::vector<SRow> rows = {
        {"IR", 0, "pub/in.txt", B("FI", 0, "6;1000000000; "), "File Info @pub/in.txt transmitted to Client!"},
        {"DF", 0, "secret.txt", "", "Access to @secret.txt" + out, "@secret.txt", "outside"},
        {"CF", 0, "pub/copy.txt\nsecret.txt", "", "Access to @secret.txt" + out, "@pub/copy.txt", kGone},
        {"DL", 0, "pub/list.txt\n./", "", "Access to @./" + out, "@pub/list.txt", kGone},
        {"FT", 0, "../x.txt;3", "", "FTBlockReceived: Access to @../x.txt" + out}};
    for (const std::string path : {"secret.txt", "pub/../secret.txt", "pub/link.txt", "/etc/passwd"}) {
        std::string resolved, unused;
        ASSERT_TRUE(server.ResolvePath(path, resolved, unused));
        const std::string refused = "Access to " + resolved + out;
        rows.push_back({"IR", 0, path, B("FI", -1, "File not found"), refused});
        rows.push_back({"RF", 0, path, B("SF", -2, "File not found"), refused});
    }
    Run(rows);
    server.SetAccessLimits({"", true});
    const std::string ro = " Block refused, the server is read-only";
    Run({{"DF", 0, "pub/in.txt", "", "Error: DF" + ro, "@pub/in.txt", "inside"},
         {"CF", 0, "pub/c.txt\npub/in.txt", "", "Error: CF" + ro, "@pub/c.txt", kGone},
         {"DL", 0, "pub/l.txt\npub/", "", "Error: DL" + ro, "@pub/l.txt", kGone},
         {"FT", 0, "pub/in.txt;3", "", "FTBlockReceived: Error: FT" + ro},
         {"FT", 1, "abc", "", "", "@pub/in.txt", "inside"},
         {"IR", 0, "pub/in.txt", B("FI", 0, "6;1000000000; "), "File Info @pub/in.txt transmitted to Client!"}});
}

// Every entry with "." and "..", links followed (a dangling one gets zeros), hidden names marked;
// the list file replaced, not appended to.
TEST_F(Requests, DirectoryListing) {
    WriteFile("sub/A.TXT", std::string(500, 'a'), 1000000000);
    WriteFile("sub/.dot", "", 1000000000);
    ASSERT_TRUE(MakeDir(base / "sub/d") && symlink("A.TXT", (base / "sub/l").c_str()) == 0 && symlink("no", (base / "sub/x").c_str()) == 0);
    WriteFile("list.txt", std::string(5000, '#'));
    Run({{"DL", 0, "list.txt\nsub/", "", "Directory @sub/ written to File @list.txt!"}});
    std::set<std::string> expected{"A.TXT;500;1000000000;20\r", "l;500;1000000000;20\r", ".dot;0;1000000000;22\r", "x;0;0;20\r"}, lines;
    for (const char* name : {".", "..", "d"}) {
        struct stat st {};
        ASSERT_EQ(stat((base / "sub/" + name).c_str(), &st), 0);
        expected.insert(std::string(name) + ";" + std::to_string(st.st_size) + ";" + std::to_string(st.st_mtime) + ";10\r");
    }
    std::istringstream in(base.ReadFile("list.txt"));
    for (std::string line; std::getline(in, line);) lines.insert(line);
    EXPECT_EQ(lines, expected);
}

// Request paths from clients written against drive letters and a file system that ignores
// case: [DRIVES] and [PATHS] IGNORECASE.
TEST_F(Requests, DriveLettersAndLetterCase) {
    for (const char* dir : {"c", "c/DATA", "d", "Data", "outside"}) ASSERT_TRUE(MakeDir(base / dir));
    WriteFile("c/DATA/ORDERS.TXT", "orders", 1000000000);
    WriteFile("Data/a.txt", "exact", 1000000000);
    WriteFile("Data/A.TXT", "upper");
    WriteFile("Data/Copy.txt", "old");
    const std::string orders = "@c/DATA/ORDERS.TXT", found = B("FI", 0, "6;1000000000; "), none = B("FI", -1, "File not found");
    const std::string ambiguous = " is ambiguous in @Data/: several entries match it ignoring case";
    const std::string unlisted = " refused: drive E: is not listed in [DRIVES]";
    // C's directory lacks its separator: one is put in between.
    server.SetPathRules({{{'C', base / "c"}, {'D', base / "d/"}}, false});
    Run({{"IR", 0, "C:\\DATA\\ORDERS.TXT", found, "File Info " + orders + " transmitted to Client!"},
         {"IR", 0, "c:DATA/ORDERS.TXT", found, "File Info " + orders + " transmitted to Client!"},
         {"IR", 0, "E:\\DATA\\ORDERS.TXT", none, "Access to E:\\DATA\\ORDERS.TXT" + unlisted},
         {"DF", 0, "e:\\x", "", "Access to e:\\x" + unlisted},
         {"FT", 0, "C:\\DATA\\report.txt;3", "", "Receiving File @c/DATA/report.txt..."}});
    // A drive's directory is its root: ".." there stays there, whatever the spelling and the
    // request, and a link may not lead off the drive. Rooted paths are on C: (or DEFAULT).
    WriteFile("outside/secret.txt", "outside");
    ASSERT_EQ(symlink((base / "outside").c_str(), (base / "c/link").c_str()), 0);
    const std::string in = "@c/outside/secret.txt", unc = " refused: UNC paths (\\\\host\\share) are not served";
    std::vector<SRow> rows = {{"IR", 0, "\\DATA\\ORDERS.TXT", found, "File Info " + orders + " transmitted to Client!"},
                              {"IR", 0, "\\\\host\\share\\x", none, "Access to \\\\host\\share\\x" + unc}, {"DF", 0, "//host/share/x", "", "Access to //host/share/x" + unc}};
    for (const std::string s : {"C:\\..\\outside\\secret.txt", "C:..\\outside\\secret.txt", "c:/../outside/secret.txt", "C:\\DATA\\..\\..\\outside\\secret.txt", "C:\\.\\..\\outside\\secret.txt", "C:\\..\\..\\..\\outside\\secret.txt"})
        rows.insert(rows.end(), {{"IR", 0, s, none, "Requested File " + in + " not found"}, {"RF", 0, s, B("SF", -2, "File not found"), "Requested File " + in + " not found"},
                                 {"DF", 0, s, "", "Requested File " + in + " not found"}, {"CF", 0, s + "\nC:\\DATA\\ORDERS.TXT", "", "Error CopyFile " + orders + " to " + in + "!"},
                                 {"DL", 0, s + "\nC:\\..\\", "", "Cannot create list file " + in}, {"FT", 0, s + ";3", "", "Receiving File " + in + "..."}});
    const std::string off = " refused: outside drive C: (@c/)";
    for (const char* type : {"IR", "RF", "DF"}) rows.push_back({type, 0, "C:\\link\\secret.txt", type[0] == 'I' ? none : type[0] == 'R' ? B("SF", -2, "File not found") : "", "Access to @c/link/secret.txt" + off});
    rows.push_back({"FT", 0, "C:\\link\\new.txt;3", "", "FTBlockReceived: Access to @c/link/new.txt" + off, "@outside/secret.txt", "outside"});
    Run(rows);
    server.SetPathRules({{{'D', base / "d"}}, false});
    Run({{"DF", 0, "\\x", "", "Access to \\x refused: drive C: is not listed in [DRIVES]"}});
    server.SetPathRules({{{'D', base / "d"}}, false, 'D'});
    Run({{"FT", 0, "/x;3", "", "Receiving File @d/x..."}});
    // The exact name wins; created names: the directories resolve, the final name too when an
    // entry matches.
    server.SetPathRules({{}, true});
    Run({{"IR", 0, "C/data/orders.txt", found, "File Info " + orders + " transmitted to Client!"},
         {"IR", 0, "data/a.txt", B("FI", 0, "5;1000000000; "), "File Info @Data/a.txt transmitted to Client!"},
         {"IR", 0, "DATA/a.Txt", none, "Requested name a.Txt" + ambiguous},
         {"DF", 0, "DATA\\A.tXt", "", "Requested name A.tXt" + ambiguous},
         {"FT", 0, "data\\report.TXT;3", "", "Receiving File @Data/report.TXT..."},
         {"CF", 0, "data\\COPY.txt\nc\\data\\orders.txt", "", "File " + orders + " copied to @Data/Copy.txt!", "@Data/Copy.txt", "orders"}});
    // The access root still applies once a letter is mapped.
    server.SetPathRules({{{'C', base / "c"}}, false});
    server.SetAccessLimits({base / "d", false});
    Run({{"DF", 0, "C:\\DATA\\ORDERS.TXT", "", "Access to " + orders + " refused: outside " + CanonicalPath(base / "d")}});
}

}  // namespace
}  // namespace rs232::test
