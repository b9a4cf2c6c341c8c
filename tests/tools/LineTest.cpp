// The virtual null-modem alone, and rs232-client against the real server over it, as a user
// would run them.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <future>
#include <memory>
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

// A null-modem between <dir>/ttyA and <dir>/ttyB with these options.
struct SModem {
    CTempDir dir;
    std::string a = dir / "ttyA", b = dir / "ttyB";
    CChild child;
    explicit SModem(const std::vector<std::string>& options)
        : child(Join({RS232_NULLMODEM_EXE, "--a", a, "--b", b}, options)) {
        if (!child.WaitFor("ready", 10s)) throw std::runtime_error("null-modem: " + child.Err());
    }
    // A counter of the report printed at the end, e.g. ("a->b", "bytes out").
    uint64_t Count(const std::string& direction, const std::string& what) const {
        std::smatch m;
        const std::string out = child.Out();
        const bool found = std::regex_search(out, m, std::regex(direction + ":.*" + what + " ([0-9]+)"));
        return found ? std::stoull(m[1]) : UINT64_MAX;
    }
};

TEST(NullModem, PassesBytesBothWaysUnchangedAndSurvivesReopen) {
    SModem modem({"--baud", "0"});
    ASSERT_TRUE(fs::is_symlink(modem.a) && fs::is_symlink(modem.b));
    const Bytes ab = Pattern(100000, 1), ba = Pattern(70000, 2);
    {
        CPty a(modem.a), b(modem.b);
        // Both directions at once, each larger than every buffer on the way.
        auto writeA = std::async(std::launch::async, [&] { a.Send(ab); });
        auto writeB = std::async(std::launch::async, [&] { b.Send(ba); });
        auto readA = std::async(std::launch::async, [&] { return a.Read(ba.size(), 20s); });
        EXPECT_EQ(b.Read(ab.size(), 20s), ab);
        EXPECT_EQ(readA.get(), ba);
    }
    // One side closes and reopens while the other stays: nothing hangs, bytes still flow.
    CPty a(modem.a);
    { CPty b(modem.b); }
    CPty b(modem.b);
    a.Send(Bytes{0x02, 0x00, 0x03, 0xFF});
    EXPECT_EQ(b.Read(4, 5s), (Bytes{0x02, 0x00, 0x03, 0xFF}));

    EXPECT_EQ(modem.child.Stop(SIGTERM), 0);
    EXPECT_FALSE(Exists(modem.a) || Exists(modem.b));
    EXPECT_EQ(modem.Count("a->b", "bytes out"), ab.size() + 4);
    EXPECT_EQ(modem.Count("b->a", "bytes out"), ba.size());
    EXPECT_EQ(modem.Count("a->b", "bits flipped"), 0u);
}

TEST(NullModem, FaultsAreReproducibleFromTheSeedAndBadUsageIsRefused) {
    const Bytes data = Pattern(30000, 4);
    auto run = [&](const std::string& seed) {
        SModem modem({"--baud", "0", "--seed", seed, "--ber", "1e-3", "--drop", "1e-3", "--burst", "5e-4"});
        CPty a(modem.a), b(modem.b);
        auto writer = std::async(std::launch::async, [&] { a.Send(data); });
        const Bytes got = b.ReadUntilQuiet(500ms);
        writer.get();
        EXPECT_EQ(modem.child.Stop(SIGTERM), 0);
        EXPECT_EQ(modem.Count("a->b", "bytes in"), data.size());
        EXPECT_EQ(modem.Count("a->b", "bytes out"), got.size());
        EXPECT_EQ(got.size() + modem.Count("a->b", "bytes dropped"), data.size());
        EXPECT_GT(modem.Count("a->b", "bits flipped"), 0u);
        EXPECT_GT(modem.Count("a->b", "bursts"), 0u);
        return got;
    };
    const Bytes first = run("42");
    EXPECT_EQ(run("42"), first);
    EXPECT_NE(run("43"), first);
    EXPECT_LT(first.size(), data.size());

    // An existing file is never replaced; usage errors end with 64.
    CTempDir dir;
    dir.WriteFile("taken", "x");
    EXPECT_EQ(RunProgram({RS232_NULLMODEM_EXE, "--a", dir / "taken", "--b", dir / "b"}, 10s).code, 1);
    EXPECT_EQ(dir.ReadFile("taken"), "x");
    EXPECT_FALSE(Exists(dir / "b"));
    EXPECT_EQ(RunProgram({RS232_NULLMODEM_EXE, "--a", dir / "a"}, 10s).code, 64);
    EXPECT_EQ(RunProgram({RS232_NULLMODEM_EXE, "--a", dir / "a", "--b", dir / "b", "--ber", "2"}, 10s).code, 64);
}

// A null-modem at 115200 baud, the server on end a serving a temporary base directory, and the
// client on end b.
struct SLine : SModem {
    std::string base = dir / "base/";
    std::optional<CServer> server;

    explicit SLine(bool withServer = true) : SModem({"--baud", "115200"}) {
        fs::create_directory(base);
        if (!withServer) return;
        server.emplace(dir, a, std::vector<std::string>{base}, "[COMPORT]\nBAUDRATE=115200\n");
        for (int i = 0; i < 10; ++i)
            if (Client({"date"}).code == 0) return;
        throw std::runtime_error("the server does not answer: " + server->Out() + server->Err());
    }
    ~SLine() {
        if (server) server->Stop(SIGTERM);
    }
    SRunResult Client(const std::vector<std::string>& args) const {
        return RunProgram(Join({RS232_CLIENT_EXE, "--device", b, "--baud", "115200", "--retries", "0"}, args));
    }
};

// Each size up and down again (into a directory): an empty file goes up as one data block
// without data; sizes around the 500-byte block and a large file.
TEST(ClientServer, FileSizesBothWays) {
    SLine line;
    fs::create_directory(line.dir / "in");
    for (size_t size : {0u, 1u, 499u, 500u, 501u, 200u * 1024}) {
        SCOPED_TRACE(size);
        const std::string name = "f" + std::to_string(size), content = Text(Pattern(size, static_cast<unsigned>(size)));
        line.dir.WriteFile(name, content);
        const SRunResult put = line.Client({"put", line.dir / name, name});
        EXPECT_EQ(put.code, 0) << put.err;
        EXPECT_EQ(ReadWholeFile(line.base + name), content);
        EXPECT_TRUE(Exists(line.base + name));
        const SRunResult get = line.Client({"get", name, line.dir / "in/"});
        EXPECT_EQ(get.code, 0) << get.err;
        EXPECT_EQ(line.dir.ReadFile("in/" + name), content);
    }
}

TEST(ClientServer, EveryCommandAndItsErrors) {
    SLine line;
    line.dir.WriteFile(line.base + "a.txt", "hello");
    fs::create_directory(line.base + "sub");
    line.dir.WriteFile(line.base + "sub/ro.txt", "0123456789");
    fs::permissions(line.base + "sub/ro.txt", fs::perms::owner_write, fs::perm_options::remove);
    auto expectOut = [&](const std::vector<std::string>& args, std::initializer_list<const char*> patterns) {
        const SRunResult r = line.Client(args);
        EXPECT_EQ(r.code, 0) << args[0] << ": " << r.err;
        for (const char* pattern : patterns)
            EXPECT_TRUE(std::regex_search(r.out, std::regex(pattern))) << pattern << " in\n" << r.out;
    };

    expectOut({"date"}, {"UTC", "offset: +[-+][0-9] s"});
    expectOut({"info", "sub/ro.txt"}, {"10 bytes", "read-only"});
    expectOut({"info", "sub"}, {"directory"});
    EXPECT_EQ(line.Client({"cp", "a.txt", "sub/b.txt"}).code, 0);
    EXPECT_EQ(line.dir.ReadFile(line.base + "sub/b.txt"), "hello");
    expectOut({"ls", "--raw", "sub"}, {"(^|\n)ro\\.txt;10;[0-9]+;21\r\n", "(^|\n)b\\.txt;5;[0-9]+;20\r\n"});
    expectOut({"ls"}, {"\nd---- +[0-9]+ +[-0-9: ]+ +sub\n", "\n----a +5 +[-0-9: ]+ +a\\.txt\n"});
    // The temporary list files are gone again.
    EXPECT_EQ(ListDir(line.base), (std::vector<std::string>{"BAK", "LOG", "a.txt", "sub"}));
    EXPECT_EQ(line.Client({"rm", "sub/b.txt"}).code, 0);
    EXPECT_FALSE(Exists(line.base + "sub/b.txt"));

    // Failures the server shows; the server never removes a directory.
    const SRunResult get = line.Client({"get", "missing", line.dir / "missing"});
    EXPECT_EQ(get.code, 1);
    EXPECT_NE(get.err.find("File not found"), std::string::npos) << get.err;
    EXPECT_FALSE(Exists(line.dir / "missing"));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"info", "missing"}, {"rm", "missing"}, {"rm", "sub"},
          {"cp", "missing", "x"}, {"ls", "nowhere"}, {"put", line.dir / "no-such-file", "x"}})
        EXPECT_EQ(line.Client(args).code, 1) << testing::PrintToString(args);
    EXPECT_TRUE(Exists(line.base + "sub"));
    // Usage errors, before anything is sent.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"get"}, {"put", line.dir / "rs232-server.ini", "a;b"},
          {"info", std::string(100, 'x')}})
        EXPECT_EQ(line.Client(args).code, 64) << testing::PrintToString(args);

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
}

TEST(ClientServer, NoServerOnTheLineEndsWithExitTwo) {
    SLine line(false);
    const SRunResult r = line.Client({"date"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("no answer"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace rs232::test
