#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <future>
#include <memory>
#include <regex>
#include <thread>

#include "Process.h"
#include "ToolPaths.h"
#include "support/TempDir.h"

namespace rs232::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

struct SModem {
    CTempDir dir;
    std::string a = dir / "ttyA";
    std::string b = dir / "ttyB";
    std::unique_ptr<CChild> child;

    explicit SModem(std::vector<std::string> extra) {
        std::vector<std::string> argv{RS232_NULLMODEM, "--a", a, "--b", b};
        argv.insert(argv.end(), extra.begin(), extra.end());
        child = std::make_unique<CChild>(argv);
        if (!child->WaitForLine("ready", std::chrono::seconds(10)))
            throw std::runtime_error("null-modem not ready: " + child->Err());
    }
};

bool IsLink(const std::string& path) {
    struct stat st{};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

uint64_t Count(const std::string& out, const std::string& direction, const std::string& what) {
    std::smatch m;
    std::regex re(direction + ":.*" + what + " ([0-9]+)");
    return std::regex_search(out, m, re) ? std::stoull(m[1]) : UINT64_MAX;
}

TEST(NullModem, PassesBytesBothWaysUnchangedAndSurvivesReopen) {
    SModem modem({"--baud", "0"});
    ASSERT_TRUE(IsLink(modem.a));
    ASSERT_TRUE(IsLink(modem.b));
    const Bytes ab = PatternBytes(100000, 1);
    const Bytes ba = PatternBytes(70000, 2);
    {
        CLineEnd a(modem.a), b(modem.b);
        // Both directions at once, each larger than every buffer on the way.
        auto writeA = std::async(std::launch::async, [&] { a.Write(ab); });
        auto writeB = std::async(std::launch::async, [&] { b.Write(ba); });
        auto readA = std::async(std::launch::async,
                                [&] { return a.Read(ba.size(), std::chrono::seconds(20)); });
        Bytes gotB = b.Read(ab.size(), std::chrono::seconds(20));
        Bytes gotA = readA.get();
        writeA.get();
        writeB.get();
        EXPECT_EQ(gotB, ab);
        EXPECT_EQ(gotA, ba);
    }
    // One side closes and reopens while the other stays: nothing hangs, bytes still flow.
    CLineEnd a(modem.a);
    { CLineEnd b(modem.b); }
    CLineEnd b(modem.b);
    a.Write(Bytes{0x02, 0x00, 0x03, 0xFF});
    EXPECT_EQ(b.Read(4, std::chrono::seconds(5)), (Bytes{0x02, 0x00, 0x03, 0xFF}));

    EXPECT_EQ(modem.child->Stop(SIGTERM, std::chrono::seconds(10)), 0);
    EXPECT_FALSE(IsLink(modem.a));
    EXPECT_FALSE(IsLink(modem.b));
    EXPECT_EQ(Count(modem.child->Out(), "a->b", "bytes out"), ab.size() + 4);
    EXPECT_EQ(Count(modem.child->Out(), "b->a", "bytes out"), ba.size());
    EXPECT_EQ(Count(modem.child->Out(), "a->b", "bits flipped"), 0u);
}

TEST(NullModem, PacesAtTheBaudRate) {
    SModem modem({"--baud", "9600"});
    CLineEnd a(modem.a), b(modem.b);
    const Bytes data = PatternBytes(2048, 3);
    const auto start = Clock::now();
    a.Write(data);
    Bytes got = b.Read(data.size(), std::chrono::seconds(10));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ASSERT_EQ(got, data);
    const double nominal = 2048.0 * 10 / 9600;
    // Loose bounds: the machine may be loaded; the precise figure is the benchmark's business.
    EXPECT_GT(seconds, 0.9 * nominal);
    EXPECT_LT(seconds, 1.3 * nominal);
    EXPECT_EQ(modem.child->Stop(SIGINT, std::chrono::seconds(10)), 0);
}

TEST(NullModem, FaultsAreReproducibleFromTheSeed) {
    const Bytes data = PatternBytes(30000, 4);
    auto run = [&](const std::string& seed) {
        SModem modem({"--baud", "0", "--seed", seed, "--ber", "1e-3", "--drop", "1e-3",
                      "--burst", "5e-4"});
        CLineEnd a(modem.a), b(modem.b);
        std::thread writer([&] { a.Write(data); });
        Bytes got = b.ReadUntilQuiet(std::chrono::milliseconds(500), std::chrono::seconds(30));
        writer.join();
        EXPECT_EQ(modem.child->Stop(SIGTERM, std::chrono::seconds(10)), 0);
        const std::string& out = modem.child->Out();
        EXPECT_EQ(Count(out, "a->b", "bytes in"), data.size());
        EXPECT_EQ(Count(out, "a->b", "bytes out") + Count(out, "a->b", "bytes dropped"),
                  data.size());
        EXPECT_EQ(Count(out, "a->b", "bytes out"), got.size());
        EXPECT_GT(Count(out, "a->b", "bits flipped"), 0u);
        EXPECT_GT(Count(out, "a->b", "bursts"), 0u);
        return got;
    };
    const Bytes first = run("42");
    const Bytes second = run("42");
    const Bytes other = run("43");
    EXPECT_EQ(first, second);
    EXPECT_NE(first, data);
    EXPECT_NE(first, other);
    EXPECT_LT(first.size(), data.size());
}

TEST(NullModem, RefusesToReplaceAFileAndBadUsage) {
    CTempDir dir;
    dir.WriteFile("taken", "x");
    auto r = RunProgram({RS232_NULLMODEM, "--a", dir / "taken", "--b", dir / "b"},
                        std::chrono::seconds(10));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(dir.ReadFile("taken"), "x");
    EXPECT_FALSE(IsLink(dir / "b"));
    EXPECT_EQ(RunProgram({RS232_NULLMODEM, "--a", dir / "a"}, std::chrono::seconds(10)).code, 64);
    EXPECT_EQ(RunProgram({RS232_NULLMODEM, "--a", dir / "a", "--b", dir / "b", "--ber", "2"},
                         std::chrono::seconds(10)).code, 64);
}

}  // namespace
}  // namespace rs232::test
