// rs232-client against the real server over the null-modem, as a user would run them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <random>
#include <regex>
#include <thread>

#include "Process.h"
#include "ToolPaths.h"
#include "support/TempDir.h"

namespace rs232::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string Text(const std::vector<uint8_t>& b) { return std::string(b.begin(), b.end()); }

bool Exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

// A null-modem at 115200 baud, the server on end a serving a temporary base directory, and the
// client's arguments for end b.
struct SLine {
    CTempDir dir;
    std::string base = dir / "base/";
    std::unique_ptr<CChild> modem;
    std::unique_ptr<CChild> server;

    explicit SLine(const std::vector<std::string>& faults = {}, bool withServer = true) {
        fs::create_directory(base);
        std::vector<std::string> argv{RS232_NULLMODEM, "--a", dir / "ttyA", "--b", dir / "ttyB",
                                      "--baud", "115200"};
        argv.insert(argv.end(), faults.begin(), faults.end());
        modem = std::make_unique<CChild>(argv);
        if (!modem->WaitForLine("ready", 10s)) throw std::runtime_error("no null-modem");
        if (!withServer) return;
        // The server reads "<its own path>.ini", so it runs from a copy beside its own settings.
        // Every port leads to our line: other servers on this machine hold some port numbers,
        // and a second server on a port is refused at once, so we try them in a random order.
        fs::copy_file(RS232_SERVER, dir / "rs232-server");
        std::string ini = "[COMPORT]\nBAUDRATE=115200\n[PORTS]\n";
        for (int port = 1; port <= 16; ++port)
            ini += "COM" + std::to_string(port) + "=" + dir / "ttyA" + "\n";
        dir.WriteFile("rs232-server.ini", ini);
        const int first = static_cast<int>(std::random_device{}() % 16);
        for (int i = 0; i < 16 && !server; ++i) {
            server = std::make_unique<CChild>(
                std::vector<std::string>{dir / "rs232-server", std::to_string((first + i) % 16 + 1),
                                         base},
                std::vector<std::string>{"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"},
                dir.Path());
            if (server->Wait(1s) >= 0) server.reset();
        }
        if (!server) throw std::runtime_error("no free port number for the server");
        for (int i = 0; i < 10; ++i)
            if (Client({"date"}).code == 0) return;
        throw std::runtime_error("the server does not answer: " + server->Out() + server->Err());
    }
    ~SLine() {
        if (server) server->Stop(SIGTERM, 20s);
        modem->Stop(SIGTERM, 10s);
    }
    SRunResult Client(std::vector<std::string> args) const {
        std::vector<std::string> argv{RS232_CLIENT, "--device", dir / "ttyB", "--baud", "115200"};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, 100s);
    }
};

TEST(ClientServer, SmallFilesBothWaysAndTheEmptyFile) {
    SLine line;
    for (size_t size : {1u, 499u, 500u, 501u}) {
        SCOPED_TRACE(size);
        const std::string name = "f" + std::to_string(size);
        const std::string content = Text(PatternBytes(size, static_cast<uint32_t>(size)));
        line.dir.WriteFile(name, content);
        auto put = line.Client({"put", line.dir / name, name});
        EXPECT_EQ(put.code, 0) << put.err;
        EXPECT_EQ(line.dir.ReadFile(line.base + name), content);
        auto get = line.Client({"get", name, line.dir / ("back" + name)});
        EXPECT_EQ(get.code, 0) << get.err;
        EXPECT_EQ(line.dir.ReadFile("back" + name), content);
    }
    // An empty file goes up as one data block without data.
    line.dir.WriteFile("empty", "");
    auto put = line.Client({"put", line.dir / "empty", "empty"});
    EXPECT_EQ(put.code, 0) << put.err;
    EXPECT_TRUE(Exists(line.base + "empty"));
    EXPECT_EQ(line.dir.ReadFile(line.base + "empty"), "");
    // An empty file downloads fine.
    line.dir.WriteFile(line.base + "zero", "");
    EXPECT_EQ(line.Client({"get", "zero", line.dir / "zero"}).code, 0);
    EXPECT_TRUE(Exists(line.dir / "zero"));
    EXPECT_EQ(line.dir.ReadFile("zero"), "");
}

TEST(ClientServer, EveryCommandAndItsErrors) {
    SLine line;
    line.dir.WriteFile(line.base + "a.txt", "hello");
    fs::create_directory(line.base + "sub");
    line.dir.WriteFile(line.base + "sub/ro.txt", "0123456789");
    fs::permissions(line.base + "sub/ro.txt", fs::perms::owner_write, fs::perm_options::remove);

    auto date = line.Client({"date"});
    EXPECT_EQ(date.code, 0);
    EXPECT_NE(date.out.find("UTC"), std::string::npos);
    EXPECT_TRUE(std::regex_search(date.out, std::regex("offset: +[-+][0-9] s")));

    auto info = line.Client({"info", "sub/ro.txt"});
    EXPECT_EQ(info.code, 0);
    EXPECT_NE(info.out.find("10 bytes"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("read-only"), std::string::npos) << info.out;
    EXPECT_NE(line.Client({"info", "sub"}).out.find("directory"), std::string::npos);

    EXPECT_EQ(line.Client({"cp", "a.txt", "sub/b.txt"}).code, 0);
    EXPECT_EQ(line.dir.ReadFile(line.base + "sub/b.txt"), "hello");

    auto raw = line.Client({"ls", "--raw", "sub"});
    EXPECT_EQ(raw.code, 0);
    EXPECT_TRUE(std::regex_search(raw.out, std::regex("(^|\n)ro\\.txt;10;[0-9]+;21\r\n")))
        << raw.out;
    EXPECT_TRUE(std::regex_search(raw.out, std::regex("(^|\n)b\\.txt;5;[0-9]+;20\r\n")));
    auto table = line.Client({"ls"});
    EXPECT_EQ(table.code, 0);
    EXPECT_TRUE(std::regex_search(table.out, std::regex("\nd---- +[0-9]+ +[-0-9: ]+ +sub\n")))
        << table.out;
    EXPECT_TRUE(std::regex_search(table.out, std::regex("\n----a +5 +[-0-9: ]+ +a\\.txt\n")));
    EXPECT_EQ(table.out.find(".rs232-client-"), std::string::npos);
    // The temporary list files are gone again.
    for (const auto& e : fs::directory_iterator(line.base))
        EXPECT_NE(e.path().filename().string().rfind(".rs232-client-", 0), 0u);

    EXPECT_EQ(line.Client({"rm", "sub/b.txt"}).code, 0);
    EXPECT_FALSE(Exists(line.base + "sub/b.txt"));

    // Failures the server shows.
    EXPECT_EQ(line.Client({"info", "missing"}).code, 1);
    auto get = line.Client({"get", "missing", line.dir / "missing"});
    EXPECT_EQ(get.code, 1);
    EXPECT_NE(get.err.find("File not found"), std::string::npos);
    EXPECT_FALSE(Exists(line.dir / "missing"));
    EXPECT_EQ(line.Client({"rm", "missing"}).code, 1);
    EXPECT_EQ(line.Client({"rm", "sub"}).code, 1);  // the server never removes a directory
    EXPECT_TRUE(Exists(line.base + "sub"));
    EXPECT_EQ(line.Client({"cp", "missing", "x"}).code, 1);
    EXPECT_EQ(line.Client({"ls", "nowhere"}).code, 1);
    EXPECT_EQ(line.Client({"put", line.dir / "no-such-file", "x"}).code, 1);

    // Usage errors, before anything is sent.
    EXPECT_EQ(line.Client({}).code, 64);
    EXPECT_EQ(line.Client({"get"}).code, 64);
    EXPECT_EQ(line.Client({"put", line.dir / "rs232-server.ini", "a;b"}).code, 64);
    EXPECT_EQ(line.Client({"info", std::string(100, 'x')}).code, 64);

    // Ctrl-C in the middle of a download: exit 130, no local file, and the server, told with
    // EOT, is free again at once.
    line.dir.WriteFile(line.base + "long", std::string(100000, 'x'));
    CChild get2({RS232_CLIENT, "--device", line.dir / "ttyB", "--baud", "115200", "get", "long",
                 line.dir / "long"});
    EXPECT_EQ(get2.Wait(1500ms), -1);
    EXPECT_EQ(get2.Stop(SIGINT, 5s), 130);
    for (const auto& e : fs::directory_iterator(line.dir.Path()))
        EXPECT_EQ(e.path().filename().string().rfind("long", 0), std::string::npos);
    auto after = line.Client({"date"});
    EXPECT_EQ(after.code, 0);
    EXPECT_LT(after.seconds, 2.0);
}

TEST(ClientServer, LargeUpload) {
    SLine line;
    const std::string content = Text(PatternBytes(200 * 1024, 7));
    line.dir.WriteFile("big", content);
    auto put = line.Client({"put", line.dir / "big", "big"});
    EXPECT_EQ(put.code, 0) << put.err;
    EXPECT_EQ(line.dir.ReadFile(line.base + "big"), content);
}

TEST(ClientServer, LargeDownload) {
    SLine line;
    const std::string content = Text(PatternBytes(200 * 1024 + 1, 8));
    line.dir.WriteFile(line.base + "big", content);
    auto get = line.Client({"get", "big", line.dir.Path()});  // into a directory
    EXPECT_EQ(get.code, 0) << get.err;
    EXPECT_EQ(line.dir.ReadFile("big"), content);
}

TEST(ClientServer, NoServerOnTheLineEndsWithExitTwo) {
    SLine line({}, false);
    auto r = line.Client({"date"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("no answer"), std::string::npos) << r.err;
    EXPECT_LT(r.seconds, 10.0);
}

// Uploads and downloads over a disturbed line: each either delivers the exact bytes or fails
// with exit 1 or 2, a message and no local file; the server serves again afterwards.
// Returns how many of the transfers succeeded.
int TransferOverFaults(SLine& line, int rounds) {
    int succeeded = 0;
    for (int i = 0; i < rounds; ++i) {
        SCOPED_TRACE(i);
        const std::string name = "f" + std::to_string(i);
        const std::string content = Text(PatternBytes(20000, 20 + static_cast<uint32_t>(i)));
        line.dir.WriteFile(name, content);
        auto put = line.Client({"put", line.dir / name, name});
        if (put.code == 0) {
            ++succeeded;
            EXPECT_EQ(line.dir.ReadFile(line.base + name), content);
        } else {
            EXPECT_TRUE(put.code == 1 || put.code == 2) << put.code;
            EXPECT_FALSE(put.err.empty());
        }
        line.dir.WriteFile(line.base + "d" + name, content);
        auto get = line.Client({"get", "d" + name, line.dir / ("back" + name)});
        if (get.code == 0) {
            ++succeeded;
            EXPECT_EQ(line.dir.ReadFile("back" + name), content);
        } else {
            EXPECT_TRUE(get.code == 1 || get.code == 2) << get.code;
            EXPECT_FALSE(get.err.empty());
            EXPECT_FALSE(Exists(line.dir / ("back" + name)));
        }
    }
    // Whatever happened, the server is back in service once the line has settled.
    bool answered = false;
    for (int i = 0; i < 6 && !answered; ++i) answered = line.Client({"date"}).code == 0;
    EXPECT_TRUE(answered);
    line.server->Stop(SIGTERM, 20s);
    line.modem->Stop(SIGTERM, 10s);
    uint64_t faults = 0;
    const std::string out = line.modem->Out();
    const std::regex count("(bits flipped|bytes dropped) ([0-9]+)");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), count);
         it != std::sregex_iterator(); ++it)
        faults += std::stoull((*it)[2]);
    EXPECT_GT(faults, 0u) << out;
    std::printf("%d of %d transfers succeeded; %s", succeeded, 2 * rounds, out.c_str());
    return succeeded;
}

TEST(ClientServer, LightNoiseIsRepairedByRetries) {
    SLine line({"--seed", "11", "--ber", "3e-5", "--drop", "2e-5", "--burst", "1e-5"});
    TransferOverFaults(line, 2);
}

TEST(ClientServer, HeavyNoiseFailsCleanlyAndTheServerRecovers) {
    // About two blocks in three are damaged: transfers give up within the retry limits.
    SLine line({"--seed", "5", "--ber", "3e-4", "--drop", "1e-4", "--burst", "5e-5"});
    EXPECT_LT(TransferOverFaults(line, 1), 2);
}

}  // namespace
}  // namespace rs232::test
