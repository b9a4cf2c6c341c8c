// The virtual null-modem, and rs232-client against the real server over it, as a user would run
// them: exit status, what it prints, and what lands where.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <future>
#include <map>
#include <regex>

#include "support/Line.h"

namespace rs232::test {
namespace {

namespace fs = std::filesystem;

bool Exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

bool Matches(const std::string& text, const std::string& pattern) { return std::regex_search(text, std::regex(pattern)); }

// A counter of the null-modem's report printed at its end, e.g. ("a->b", "bytes out").
uint64_t Count(const SLine& line, const std::string& direction, const std::string& what) {
    std::smatch m;
    const std::string out = line.modem.Out();
    return std::regex_search(out, m, std::regex(direction + ":.*" + what + " ([0-9]+)")) ? std::stoull(m[1]) : UINT64_MAX;
}

// Faults come from the seed, so a run can be repeated; counters add up; bad usage is refused and
// an existing file is never replaced.
TEST(NullModem, FaultsAreReproducibleFromTheSeedAndBadUsageIsRefused) {
    const Bytes data = Pattern(30000, 4);
    auto run = [&](const std::string& seed) {
        SLine line({"--baud", "0", "--seed", seed, "--ber", "1e-3", "--drop", "1e-3", "--burst", "5e-4"});
        CPty a(line.a), b(line.b);
        auto writer = std::async(std::launch::async, [&] { a.Send(data); });
        const Bytes got = b.ReadUntilQuiet(500ms);
        writer.get();
        EXPECT_EQ(line.modem.Stop(SIGTERM), 0);
        EXPECT_FALSE(Exists(line.a) || Exists(line.b));
        EXPECT_EQ(Count(line, "a->b", "bytes in"), data.size());
        EXPECT_EQ(Count(line, "a->b", "bytes out"), got.size());
        EXPECT_EQ(got.size() + Count(line, "a->b", "bytes dropped"), data.size());
        EXPECT_GT(Count(line, "a->b", "bits flipped") * Count(line, "a->b", "bursts"), 0u);
        return got;
    };
    const Bytes first = run("42");
    EXPECT_EQ(run("42"), first);
    CTempDir dir;
    dir.WriteFile("taken", "x");
    const std::pair<std::vector<std::string>, int> usage[] = {
        {{"--a", dir / "taken", "--b", dir / "b"}, 1}, {{"--a", dir / "a"}, 64}, {{"--a", dir / "a", "--b", dir / "b", "--ber", "2"}, 64}};
    for (const auto& [args, code] : usage) EXPECT_EQ(RunProgram(Join({RS232_NULLMODEM_EXE}, args), 10s).code, code);
    EXPECT_EQ(dir.ReadFile("taken"), "x");
    EXPECT_FALSE(Exists(dir / "b"));
}

// Every command and option in order on one line: failures the server shows exit 1 (a refusal is
// not tried again, the server never removes a directory), usage errors exit 64 before anything
// is sent. Then Ctrl-C in a download, and retries after the server's death.
TEST(ClientServer, CommandsOptionsAndFailures) {
    SLine line({"--baud", "115200"}, true);
    const std::string l = line.dir.Path(), r = line.base, none = "^$", any = "[\\s\\S]*";
    fs::create_directory(l + "in");
    for (const auto& [path, content] : std::map<std::string, std::string>{
             {"one", "1"}, {"two", "22"}, {"big", std::string(1040, 'b')}, {"in/r1", "keep"},
             {r + "r1", "remote one"}, {r + "r2", "remote two"}, {r + "a;b.txt", "hello"}, {r + "sub/ro.txt", "0123456789"}})
        line.dir.WriteFile(path, content);
    fs::permissions(r + "sub/ro.txt", fs::perms::owner_write, fs::perm_options::remove);
    const auto both = [&](const std::string& x, const std::string& y) { return "^(?=" + any + x + ")(?=" + any + y + ")"; };
    struct SCase {
        std::vector<std::string> args;
        int code;
        std::string out, err;
        std::map<std::string, std::string> files;  // path -> content; "-" for no file
    } cases[] = {
        {{"--version"}, 0, "^rs232-client [0-9.]+\n$", none, {}},
        {{"date"}, 0, both("UTC", "offset: +[-+][0-9] s"), none, {}},
        {{"info", "sub/ro.txt"}, 0, both("10 bytes", "read-only"), none, {}},
        {{"info", "sub"}, 0, "directory", none, {}},
        {{"cp", "a;b.txt", "sub/b.txt"}, 0, "", none, {{r + "sub/b.txt", "hello"}}},
        {{"ls", "--raw", "sub"}, 0, both("(^|\n)ro\\.txt;10;[0-9]+;21\r\n", "(^|\n)b\\.txt;5;[0-9]+;20\r\n"), none, {}},
        {{"ls"}, 0, both("\nd---- +[0-9]+ +[-0-9: ]+ +sub\n", "\n----a +5 +[-0-9: ]+ +a;b\\.txt\n"), none, {}},
        {{"rm", "sub/b.txt"}, 0, "", none, {{r + "sub/b.txt", "-"}}},
        {{"info", "missing"}, 1, none, "", {}}, {{"rm", "missing"}, 1, none, "", {}}, {{"rm", "sub"}, 1, none, "", {}},
        {{"cp", "missing", "x"}, 1, none, "", {{r + "x", "-"}}}, {{"ls", "nowhere"}, 1, none, "", {}},
        {{}, 64, none, "", {}}, {{"get"}, 64, none, "", {}}, {{"info", std::string(100, 'x')}, 64, none, "", {}},
        {{"put", l + "one", "a;b"}, 64, none, "", {{r + "a;b", "-"}}},
        {{"-q", "-v", "date"}, 64, none, "excludes", {}},
        {{"--retries", "1e3", "date"}, 64, none, "1e3 is not a whole number from 0 to 100", {}},
        {{"put", l + "one", l + "two", "sub"}, 64, none, "does not end in", {{r + "sub/one", "-"}}},
        {{"get", "r1", "r2", l + "in/r1"}, 64, none, "not a directory", {{l + "in/r1", "keep"}}},
        // The remote name defaults to the local one; quiet means silent.
        {{"-q", "put", l + "one"}, 0, none, none, {{r + "one", "1"}}},
        // Uploads go in blocks of 520 bytes, the most the server takes.
        {{"-v", "put", l + "big", "big"}, 0, "big: 1040 bytes", "> FT 1 \\(520 bytes\\)\n< ACK\n> FT 2 \\(520 bytes\\)",
         {{r + "big", std::string(1040, 'b')}}},
        // Each file is reported, the worst status wins, and an existing local file stays as it is.
        {{"put", l + "no-such", l + "one", l + "two", "sub\\"}, 1, "one -> sub\\\\one.*\n.*two -> sub\\\\two",
         "no-such: cannot read .*No such file or directory", {{r + "sub/one", "1"}, {r + "sub/two", "22"}}},
        {{"-v", "--retries", "2", "get", "gone", "r1", "r2", l + "in/"}, 1, "r2 -> ",
         "^(?!" + any + "starting again)" + any + "> RF 0 \"gone\"" + any + "File not found" + any + "in/r1 exists; get --force",
         {{l + "in/gone", "-"}, {l + "in/r1", "keep"}, {l + "in/r2", "remote two"}}},
        {{"-q", "get", "--force", "r1", l + "in/r1"}, 0, none, none, {{l + "in/r1", "remote one"}}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const SRunResult got = line.Client(c.args);
        EXPECT_EQ(got.code, c.code) << got.err;
        EXPECT_TRUE(Matches(got.out, c.out)) << got.out;
        EXPECT_TRUE(Matches(got.err, c.err)) << got.err;
        for (const auto& [path, content] : c.files) EXPECT_EQ(Exists(path) ? ReadWholeFile(path) : "-", content) << path;
    }
    for (const std::string port : {"0", "65536", "70000", "4294967297"})
        EXPECT_EQ(line.Client({"date"}, "tcp://127.0.0.1:" + port).code, 64) << port;
    // The directory is still there, and the temporary list files are gone.
    EXPECT_EQ(ListDir(r), (std::vector<std::string>{"BAK", "LOG", "a;b.txt", "big", "one", "r1", "r2", "sub"}));
    EXPECT_EQ(ListDir(r + "sub"), (std::vector<std::string>{"one", "ro.txt", "two"}));

    // Ctrl-C in the middle of a download: exit 130, no local file, and the server, told with
    // EOT, is free again at once.
    line.dir.WriteFile(r + "long", std::string(100000, 'x'));
    CChild get(line.Args({"get", "long", l + "long"}));
    EXPECT_EQ(get.Wait(1500ms), -1);
    EXPECT_EQ(get.Stop(SIGINT, 5s), 130);
    for (const auto& name : ListDir(line.dir.Path())) EXPECT_FALSE(name.starts_with("long")) << name;
    // One try: a server still repeating its block would miss every ENQ of it.
    EXPECT_EQ(line.Client({"--retries", "0", "date"}).code, 0);

    // A download whose server dies in the middle starts again once a server answers; with no
    // server at all the client gives up after the tries it was given.
    const std::string content = Text(Pattern(20000, 9));
    line.dir.WriteFile(r + "long", content);
    CChild again(line.Args({"-v", "--retries", "3", "get", "long", l + "again"}));
    ASSERT_TRUE(again.WaitForErr("< SF 3 "));
    line.server.reset();  // killed in the middle of the download
    line.StartServer();   // while the client waits for the next block
    ASSERT_EQ(again.Wait(100s), 0) << again.Err();
    EXPECT_TRUE(Matches(again.Out(), "again: 20000 bytes \\([2-4] tries\\)")) << again.Out();
    EXPECT_TRUE(Matches(again.Err(), "no SF block .*; starting again \\(try 2 of 4\\)")) << again.Err();
    EXPECT_EQ(line.dir.ReadFile("again"), content);

    line.server.reset();
    const SRunResult gaveUp = line.Client({"--retries", "1", "date"});
    EXPECT_EQ(gaveUp.code, 2);
    EXPECT_TRUE(Matches(gaveUp.err, "no answer to ENQ.*\\(gave up after 2 tries\\)\n$")) << gaveUp.err;
}

// A two-digit port above 16 end to end: the server's start-up line and file names carry its
// number, the client reaches it through [PORTS] by number, and numbers outside 1..99 are refused.
TEST(ClientServer, PortFortyTwo) {
    SLine line({"--baud", "115200"});
    CServer server(line.dir, line.a, {line.base}, "[COMPORT]\nBAUDRATE=115200\n", 42);
    ASSERT_TRUE(server.Started()) << server.Err();
    line.dir.WriteFile("client.ini", "[COMPORT]\nBAUDRATE=115200\n[PORTS]\nCOM42=" + line.b + "\n");
    line.dir.WriteFile("one", "1");
    const auto client = [&](const std::string& port) {
        return RunProgram({RS232_CLIENT_EXE, "--config", line.dir / "client.ini", "--port", port, "put", line.dir / "one", "one"}, 100s);
    };
    EXPECT_EQ(client("0").code, 64);
    EXPECT_EQ(client("100").code, 64);
    ASSERT_EQ(client("42").code, 0);
    EXPECT_EQ(line.dir.ReadFile(line.base + "one"), "1");
    EXPECT_EQ(server.Stop(SIGTERM), 0);
    EXPECT_TRUE(Matches(server.Out(), "[0-9] Com port is: 42[ \n]")) << server.Out();
    EXPECT_TRUE(Contains(LogLines(line.base + "LOG/", 42), "Program closed !"));
    const std::vector<std::string> backups = ListDir(line.base + "BAK");
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_TRUE(Matches(backups[0], "^BAK42_[0-9]{14}_one$")) << backups[0];
    EXPECT_FALSE(Exists(line.dir / "FT_TMP42.TMP"));
}

}  // namespace
}  // namespace rs232::test
