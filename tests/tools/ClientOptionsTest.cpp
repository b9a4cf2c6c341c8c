// rs232-client's options and its commands on several files, run as a user would against the real
// server over the virtual null-modem: exit status, what it prints, and what lands where.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <map>
#include <optional>
#include <regex>

#include "support/Process.h"

namespace rs232::test {
namespace {

namespace fs = std::filesystem;

struct SLine {
    CTempDir dir;
    std::string a = dir / "ttyA", b = dir / "ttyB", base = dir / "base/";
    CChild modem{{RS232_NULLMODEM_EXE, "--a", a, "--b", b, "--baud", "115200"}};
    std::optional<CServer> server;

    SLine() {
        if (!modem.WaitFor("ready", 10s)) throw std::runtime_error("null-modem: " + modem.Err());
        fs::create_directories(base + "sub");
        StartServer();
    }
    void StartServer() {
        server.emplace(dir, a, std::vector<std::string>{base}, "[COMPORT]\nBAUDRATE=115200\n");
        if (!server->Started()) throw std::runtime_error("no server: " + server->Err());
    }
    std::vector<std::string> Args(const std::vector<std::string>& args) const {
        std::vector<std::string> all{RS232_CLIENT_EXE, "--device", b, "--baud", "115200"};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }
    SRunResult Client(const std::vector<std::string>& args) const { return RunProgram(Args(args)); }
};

bool Matches(const std::string& text, const std::string& pattern) {
    return std::regex_search(text, std::regex(pattern));
}

TEST(ClientOptions, CommandsOnTheRealServer) {
    SLine line;
    const std::string l = line.dir.Path(), r = line.base, none = "^$", any = "[\\s\\S]*";
    fs::create_directory(l + "in");
    for (const auto& [path, content] : std::map<std::string, std::string>{
             {"one", "1"}, {"two", "22"}, {"big", std::string(1040, 'b')}, {"in/r1", "keep"},
             {r + "r1", "remote one"}, {r + "r2", "remote two"}})
        line.dir.WriteFile(path, content);
    struct SCase {
        std::vector<std::string> args;
        int code;
        std::string out, err;
        std::map<std::string, std::string> files;  // path -> content; "-" for no file
    } cases[] = {
        {{"--version"}, 0, "^rs232-client [0-9.]+\n$", none, {}},
        {{"-q", "-v", "date"}, 64, none, "excludes", {}},
        {{"put", l + "one", l + "two", "sub"}, 64, none, "does not end in", {{r + "sub/one", "-"}}},
        {{"get", "r1", "r2", l + "in/r1"}, 64, none, "not a directory", {{l + "in/r1", "keep"}}},
        // The remote name defaults to the local one; quiet means silent.
        {{"-q", "put", l + "one"}, 0, none, none, {{r + "one", "1"}}},
        // Uploads go in blocks of 520 bytes, the most the server takes.
        {{"-v", "put", l + "big", "big"}, 0, "big: 1040 bytes",
         "> FT 1 \\(520 bytes\\)\n< ACK\n> FT 2 \\(520 bytes\\)",
         {{r + "big", std::string(1040, 'b')}}},
        // Each file is reported, the worst status wins, a refusal is not tried again, and an
        // existing local file stays as it is.
        {{"put", l + "no-such", l + "one", l + "two", "sub\\"}, 1,
         "one -> sub\\\\one.*\n.*two -> sub\\\\two",
         "no-such: cannot read .*No such file or directory",
         {{r + "sub/one", "1"}, {r + "sub/two", "22"}}},
        {{"-v", "--retries", "2", "get", "gone", "r1", "r2", l + "in/"}, 1, "r2 -> ",
         "^(?!" + any + "starting again)" + any + "> RF 0 \"gone\"" + any + "File not found" + any +
             "in/r1 exists; get --force",
         {{l + "in/gone", "-"}, {l + "in/r1", "keep"}, {l + "in/r2", "remote two"}}},
        {{"-q", "get", "--force", "r1", l + "in/r1"}, 0, none, none, {{l + "in/r1", "remote one"}}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const SRunResult got = line.Client(c.args);
        EXPECT_EQ(got.code, c.code) << got.err;
        EXPECT_TRUE(Matches(got.out, c.out)) << got.out;
        EXPECT_TRUE(Matches(got.err, c.err)) << got.err;
        for (const auto& [path, content] : c.files)
            EXPECT_EQ(fs::exists(path) ? ReadWholeFile(path) : "-", content) << path;
    }
}

// A download whose server dies in the middle starts again once a server answers; with no server
// at all the client gives up after the tries it was given.
TEST(ClientOptions, RetriesAfterFailuresOnTheLine) {
    SLine line;
    const std::string content = Text(Pattern(20000, 9));
    line.dir.WriteFile(line.base + "long", content);
    CChild get(line.Args({"-v", "--retries", "3", "get", "long", line.dir / "long"}));
    ASSERT_TRUE(get.WaitForErr("< SF 3 "));
    line.server.reset();  // killed in the middle of the download
    line.StartServer();   // while the client waits for the next block
    ASSERT_EQ(get.Wait(100s), 0) << get.Err();
    EXPECT_TRUE(Matches(get.Out(), "long: 20000 bytes \\([2-4] tries\\)")) << get.Out();
    EXPECT_TRUE(Matches(get.Err(), "no SF block .*; starting again \\(try 2 of 4\\)")) << get.Err();
    EXPECT_EQ(line.dir.ReadFile("long"), content);

    line.server.reset();
    const SRunResult r = line.Client({"--retries", "1", "date"});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(Matches(r.err, "no answer to ENQ.*\\(gave up after 2 tries\\)\n$")) << r.err;
}

}  // namespace
}  // namespace rs232::test
