// The virtual null-modem, and rs232-client against the real server over it, as a user would run
// them.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <future>
#include <optional>
#include <regex>

#include "link/Block.h"
#include "support/Process.h"

namespace rs232::test {
namespace {

namespace fs = std::filesystem;

bool Exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

std::vector<std::string> Join(std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// A null-modem between <dir>/ttyA and <dir>/ttyB with these options; with a server, the server
// on end a serving <dir>/base/ and the client on end b.
struct SLine {
    CTempDir dir;
    std::string a = dir / "ttyA", b = dir / "ttyB", base = dir / "base/";
    CChild modem;
    std::optional<CServer> server;

    explicit SLine(const std::vector<std::string>& options, bool withServer = false)
        : modem(Join({RS232_NULLMODEM_EXE, "--a", a, "--b", b}, options)) {
        if (!modem.WaitFor("ready", 10s)) throw std::runtime_error("null-modem: " + modem.Err());
        fs::create_directory(base);
        if (!withServer) return;
        server.emplace(dir, a, std::vector<std::string>{base}, "[COMPORT]\nBAUDRATE=115200\n");
        for (int i = 0; i < 10; ++i)
            if (Client({"date"}).code == 0) return;
        throw std::runtime_error("the server does not answer: " + server->Out() + server->Err());
    }
    SRunResult Client(const std::vector<std::string>& args) const {
        return RunProgram(Join({RS232_CLIENT_EXE, "--device", b, "--baud", "115200", "--retries", "0"}, args));
    }
    // A counter of the report printed at the end, e.g. ("a->b", "bytes out").
    uint64_t Count(const std::string& direction, const std::string& what) const {
        std::smatch m;
        const std::string out = modem.Out();
        return std::regex_search(out, m, std::regex(direction + ":.*" + what + " ([0-9]+)")) ? std::stoull(m[1]) : UINT64_MAX;
    }
};

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
        EXPECT_EQ(line.Count("a->b", "bytes in"), data.size());
        EXPECT_EQ(line.Count("a->b", "bytes out"), got.size());
        EXPECT_EQ(got.size() + line.Count("a->b", "bytes dropped"), data.size());
        EXPECT_GT(line.Count("a->b", "bits flipped") * line.Count("a->b", "bursts"), 0u);
        return got;
    };
    const Bytes first = run("42");
    EXPECT_EQ(run("42"), first);
    EXPECT_NE(run("43"), first);
    CTempDir dir;
    dir.WriteFile("taken", "x");
    EXPECT_EQ(RunProgram({RS232_NULLMODEM_EXE, "--a", dir / "taken", "--b", dir / "b"}, 10s).code, 1);
    EXPECT_EQ(dir.ReadFile("taken"), "x");
    EXPECT_FALSE(Exists(dir / "b"));
    EXPECT_EQ(RunProgram({RS232_NULLMODEM_EXE, "--a", dir / "a"}, 10s).code, 64);
    EXPECT_EQ(RunProgram({RS232_NULLMODEM_EXE, "--a", dir / "a", "--b", dir / "b", "--ber", "2"}, 10s).code, 64);
}

// Each size up and down again (into a directory): an empty file goes up as one data block
// without data; sizes around the 500-byte block, and a large file.
TEST(ClientServer, FileSizesBothWays) {
    SLine line({"--baud", "115200"}, true);
    fs::create_directory(line.dir / "in");
    for (size_t size : {0u, 1u, 499u, 500u, 501u, 200u * 1024}) {
        SCOPED_TRACE(size);
        const std::string name = "f" + std::to_string(size), content = Text(Pattern(size, static_cast<unsigned>(size)));
        line.dir.WriteFile(name, content);
        const SRunResult put = line.Client({"put", line.dir / name, name}), get = line.Client({"get", name, line.dir / "in/"});
        EXPECT_EQ(put.code + get.code, 0) << put.err << get.err;
        EXPECT_TRUE(Exists(line.base + name));
        EXPECT_EQ(ReadWholeFile(line.base + name), content);
        EXPECT_EQ(line.dir.ReadFile("in/" + name), content);
    }
}

TEST(ClientServer, EveryCommandAndItsErrors) {
    SLine line({"--baud", "115200"}, true);
    line.dir.WriteFile(line.base + "a;b.txt", "hello");
    fs::create_directory(line.base + "sub");
    line.dir.WriteFile(line.base + "sub/ro.txt", "0123456789");
    fs::permissions(line.base + "sub/ro.txt", fs::perms::owner_write, fs::perm_options::remove);
    const std::pair<std::vector<std::string>, std::vector<const char*>> commands[] = {
        {{"date"}, {"UTC", "offset: +[-+][0-9] s"}},
        {{"info", "sub/ro.txt"}, {"10 bytes", "read-only"}},
        {{"info", "sub"}, {"directory"}},
        {{"cp", "a;b.txt", "sub/b.txt"}, {}},
        {{"ls", "--raw", "sub"}, {"(^|\n)ro\\.txt;10;[0-9]+;21\r\n", "(^|\n)b\\.txt;5;[0-9]+;20\r\n"}},
        {{"ls"}, {"\nd---- +[0-9]+ +[-0-9: ]+ +sub\n", "\n----a +5 +[-0-9: ]+ +a;b\\.txt\n"}},
        {{"rm", "sub/b.txt"}, {}},
    };
    for (const auto& [args, patterns] : commands) {
        const SRunResult r = line.Client(args);
        EXPECT_EQ(r.code, 0) << args[0] << ": " << r.err;
        for (const char* pattern : patterns) EXPECT_TRUE(std::regex_search(r.out, std::regex(pattern))) << pattern << " in\n" << r.out;
    }
    // The copy was made and removed again, and the temporary list files are gone.
    EXPECT_EQ(ListDir(line.base), (std::vector<std::string>{"BAK", "LOG", "a;b.txt", "sub"}));
    EXPECT_EQ(ListDir(line.base + "sub"), std::vector<std::string>{"ro.txt"});

    // Failures the server shows (exit 1; the server never removes a directory), and usage errors
    // before anything is sent (exit 64).
    const SRunResult get = line.Client({"get", "missing", line.dir / "missing"});
    EXPECT_NE(get.err.find("File not found"), std::string::npos) << get.err;
    EXPECT_FALSE(Exists(line.dir / "missing"));
    const std::pair<std::vector<std::string>, int> failures[] = {
        {{"get", "missing", line.dir / "missing"}, 1}, {{"info", "missing"}, 1}, {{"rm", "missing"}, 1},
        {{"rm", "sub"}, 1}, {{"cp", "missing", "x"}, 1}, {{"ls", "nowhere"}, 1},
        {{"put", line.dir / "no-such-file", "x"}, 1}, {{}, 64}, {{"get"}, 64},
        {{"put", line.dir / "rs232-server.ini", "a;b"}, 64}, {{"info", std::string(100, 'x')}, 64}};
    for (const auto& [args, code] : failures) EXPECT_EQ(line.Client(args).code, code) << testing::PrintToString(args);
    EXPECT_TRUE(Exists(line.base + "sub"));

    // Ctrl-C in the middle of a download: exit 130, no local file, and the server, told with
    // EOT, is free again at once.
    line.dir.WriteFile(line.base + "long", std::string(100000, 'x'));
    CChild get2(Join({RS232_CLIENT_EXE, "--device", line.b, "--baud", "115200"}, {"get", "long", line.dir / "long"}));
    EXPECT_EQ(get2.Wait(1500ms), -1);
    EXPECT_EQ(get2.Stop(SIGINT, 5s), 130);
    for (const auto& name : ListDir(line.dir.Path())) EXPECT_FALSE(name.starts_with("long")) << name;
    const SRunResult after = line.Client({"date"});
    EXPECT_EQ(after.code, 0);
    EXPECT_LT(after.seconds, 2.0);
    // Nobody on the line: exit 2.
    line.server->Stop(SIGTERM);
    const SRunResult none = line.Client({"date"});
    EXPECT_EQ(none.code, 2);
    EXPECT_NE(none.err.find("no answer"), std::string::npos) << none.err;
}

}  // namespace
}  // namespace rs232::test
