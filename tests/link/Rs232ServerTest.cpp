#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <future>
#include <memory>
#include <thread>

#include "link/Rs232Server.h"
#include "support/MemoryEventList.h"
#include "support/Pty.h"
#include "support/TempDir.h"

namespace rs232 {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::CPty;
using test::MakeBlock;

constexpr int kPort = 6;

// Short limits keep the failure cases quick; the RealLimits tests run them at their real value.
SLinkLimits ShortLimits() {
    SLinkLimits limits;
    limits.header = 300ms;
    limits.rest = 300ms;
    limits.answer = 300ms;
    return limits;
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.SetDeviceMap({{kPort, pty.SlavePath()}});
        ASSERT_EQ(server.StartServer(kPort, 115200, &events, nullptr), 1);
        server.SetLinkLimits(ShortLimits());
        server.SetBasePath(dir.Path());
    }

    // Sends bytes and waits until the server's port has them queued, so the tick that follows
    // finds them (a pseudo-terminal passes bytes on asynchronously).
    void Deliver(const Bytes& bytes) {
        pty.Send(bytes);
        ASSERT_GE(server.WaitForInQueue(static_cast<int>(bytes.size()),
                                        CSerialPort::Clock::now() + 10s),
                  static_cast<int>(bytes.size()));
    }

    // One tick on the server's side while the test plays the client.
    std::future<int> PollAsync() {
        return std::async(std::launch::async, [this] { return server.Poll(status); });
    }
    std::future<int> SendAsync(const Bytes& block) {
        return std::async(std::launch::async, [this, block] {
            return server.SendBlockRetry(block.data(), static_cast<int>(block.size()));
        });
    }

    test::CTempDir dir;
    CPty pty;
    test::CMemoryEventList events;
    CRs232Server server;
    std::string status;
};

TEST_F(ServerTest, EnqIsAnsweredWithSynAndWhateverFollowedIsDiscarded) {
    Deliver(Bytes{ENQ, 'x', 'y'});
    EXPECT_EQ(server.Poll(status), 1);
    EXPECT_EQ(status, "Client connected");
    EXPECT_EQ(pty.Read(1), Bytes{SYN});
    EXPECT_EQ(server.GetInQueue(), 0);

    status = "old";
    EXPECT_EQ(server.Poll(status), 1) << "an idle line";
    EXPECT_EQ(status, "");
}

TEST_F(ServerTest, UnknownBytesAreDroppedOneAtATimeWithoutAnswer) {
    Deliver(Bytes{'A', ACK});
    EXPECT_EQ(server.Poll(status), kUnknownAnswer);
    EXPECT_EQ(status, "Unknown Request");
    EXPECT_EQ(server.GetInQueue(), 1) << "one byte per tick, nothing purged";
    EXPECT_EQ(server.Poll(status), kUnknownAnswer);
    EXPECT_TRUE(pty.ReadUntilQuiet(100ms).empty());
}

TEST_F(ServerTest, ValidBlocksAreAcknowledgedAndDispatchedInTheSameTick) {
    Deliver(MakeBlock("XY", 0, "data"));
    auto tick = PollAsync();
    EXPECT_EQ(tick.get(), kRefused);
    EXPECT_EQ(status, "Unknown block typ");
    EXPECT_EQ(pty.Read(1), Bytes{ACK});

    // A known type runs its handler before the tick returns: the DT reply follows the ACK.
    Deliver(MakeBlock("DR", 0, ""));
    tick = PollAsync();
    EXPECT_EQ(pty.Read(1), Bytes{ACK});
    test::SReadBlock reply;
    ASSERT_TRUE(pty.ReadBlock(reply));
    EXPECT_EQ(reply.type, "DT");
    EXPECT_TRUE(reply.valid);
    pty.Send(ACK);
    EXPECT_EQ(tick.get(), 1);
    EXPECT_EQ(status, "Actual date/time transmitted to Client!");
}

TEST_F(ServerTest, DamagedBlocksArePurgedAndAnsweredWithNak) {
    struct Case {
        const char* name;
        Bytes block;
        const char* expect;
    };
    Bytes noEtx = MakeBlock("DR", 5, "abc");
    noEtx.back() = 'Z';
    Bytes badCrc = MakeBlock("DR", 5, "abc");
    badCrc[13 + 3] ^= 0x01;
    Bytes upperCrc = MakeBlock("IR", -1, "x");  // CRC text 9b0d1c4c... has letters
    for (size_t i = 14; i < 22; ++i) upperCrc[i] = static_cast<uint8_t>(toupper(upperCrc[i]));
    Bytes cut = MakeBlock("DR", 5, "abcdef");
    cut.resize(cut.size() - 4);
    const std::string lenTooBig = std::string("\x02") + "FT     1 521";
    const std::string lenNegative = std::string("\x02") + "FT     2  -5";
    const std::string lenText = std::string("\x02") + "FT     3 abc";

    const std::vector<Case> cases = {
        {"no ETX", noEtx, "Block 000005 Error: [2]"},
        {"bad CRC", badCrc, "Block 000005 Error: [3]"},
        {"upper-case CRC", upperCrc, "Block -000001 Error: [3]"},
        {"cut short", cut, "Block 000005 Error: [1]"},
        {"LEN 521", Bytes(lenTooBig.begin(), lenTooBig.end()), "Block 000001 Error: [1]"},
        {"LEN -5", Bytes(lenNegative.begin(), lenNegative.end()), "Block 000002 Error: [1]"},
        {"LEN not a number", Bytes(lenText.begin(), lenText.end()), "Block 000003 Error: [1]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.name == std::string("upper-case CRC")) {
            ASSERT_NE(upperCrc, MakeBlock("IR", -1, "x")) << "CRC text without letters";
        }
        Bytes withTrailer = c.block;
        // Bytes behind a refused LEN must be purged too, never read as a block.
        if (c.block.size() == 13) withTrailer.insert(withTrailer.end(), 600, 'q');
        Deliver(withTrailer);
        auto tick = PollAsync();
        EXPECT_EQ(tick.get(), kBlockError);
        EXPECT_EQ(status, c.expect);
        EXPECT_EQ(pty.Read(1), Bytes{NAK});
        EXPECT_EQ(server.GetInQueue(), 0);
    }
}

TEST_F(ServerTest, AHeaderThatNeverArrivesEndsWithoutAnswer) {
    Deliver(Bytes{STX, 'D', 'R', ' '});
    auto tick = PollAsync();
    EXPECT_EQ(tick.get(), kTimeout);
    EXPECT_EQ(status, "Timeout");
    EXPECT_EQ(server.GetInQueue(), 0);
    EXPECT_TRUE(pty.ReadUntilQuiet(100ms).empty()) << "no NAK after a header time-out";
}

TEST_F(ServerTest, StartingAndStoppingFollowTheServerStates) {
    EXPECT_EQ(server.StartServer(kPort, 115200, &events, nullptr), kServerAlreadyRunning);
    EXPECT_EQ(server.StopServer(), 1);
    EXPECT_EQ(server.Poll(status), kServerNotRunning);
    EXPECT_EQ(status, "Server not running");
    EXPECT_EQ(server.StopServer(), kPortNotOpen);
    EXPECT_FALSE(server.IsRunning());

    CRs232Server fresh;
    EXPECT_EQ(fresh.Poll(status), kServerNotRunning);
    fresh.SetDeviceMap({{kPort, "/dev/does-not-exist-rs232"}});
    EXPECT_EQ(fresh.StartServer(kPort, 115200, nullptr, nullptr), kPortOpenFailed);
    EXPECT_EQ(fresh.StartServer(0, 115200, nullptr, nullptr), kPortOutOfRange);
    EXPECT_FALSE(fresh.IsRunning());
}

TEST_F(ServerTest, SendBlockRetryFollowsTheAnswers) {
    const Bytes block = MakeBlock("SF", 1, "payload");
    struct Case {
        const char* name;
        std::vector<int> answers;  // -1: stay silent for that send
        int result;
        size_t sends;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"ACK", {ACK}, 1, 1, {}},
        {"three NAKs", {NAK, NAK, NAK}, kSendNakLimit, 3,
         {"SendBlockRetry NAK", "SendBlockRetry NAK", "SendBlockRetry NAK"}},
        {"NAK and silence alternate", {NAK, -1, NAK, -1, NAK}, kSendNakLimit, 5,
         {"SendBlockRetry NAK", "SendBlockRetry Timeout", "SendBlockRetry NAK",
          "SendBlockRetry Timeout", "SendBlockRetry NAK"}},
        {"NAK then ACK", {NAK, ACK}, 1, 2, {"SendBlockRetry NAK"}},
        {"EOT", {EOT}, kSendEot, 1, {}},
        {"another byte", {SYN}, kUnknownAnswer, 1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        events.lines.clear();
        auto send = SendAsync(block);
        for (size_t i = 0; i < c.sends; ++i) {
            EXPECT_EQ(pty.Read(block.size()), block) << "send " << i + 1;
            if (i < c.answers.size() && c.answers[i] >= 0) pty.Send(static_cast<uint8_t>(c.answers[i]));
        }
        EXPECT_EQ(send.get(), c.result);
        EXPECT_TRUE(pty.ReadUntilQuiet(50ms).empty()) << "no further send";
        EXPECT_EQ(events.Texts(), c.lines);
    }
}

TEST_F(ServerTest, SendBlockRetryOnAClosedPortFailsAtOnce) {
    server.StopServer();
    const Bytes block = MakeBlock("SF", 1, "x");
    EXPECT_EQ(server.SendBlockRetry(block.data(), static_cast<int>(block.size())), kSendShortWrite);
}

TEST_F(ServerTest, TheLogRouteWritesOnlyWhereItHasAPointer) {
    server.LogMessage("hello");
    ASSERT_EQ(events.GetCount(), 1);
    EXPECT_EQ(events.Texts()[0], "hello");
    EXPECT_EQ(events.lines[0].size(), 9u + 5u);
    EXPECT_EQ(events.lines[0][2], ':');
    EXPECT_EQ(events.selected, 0);

    CRs232Server unstarted;
    unstarted.LogMessage("nowhere");  // both pointers null: nothing visible, no crash
}

// A tick that runs inside a request (through the message pump) must not touch the line.
TEST_F(ServerTest, ANestedPollLeavesTheLineToTheRequestInProgress) {
    dir.WriteFile("two.bin", std::string(700, 'z'));
    int nestedResult = 0;
    std::string nestedStatus = "untouched";
    int pumps = 0;
    server.SetMessagePump([&] {
        if (pumps++ != 0) return;
        pty.Send(ENQ);
        server.WaitForInQueue(1, CSerialPort::Clock::now() + 10s);
        nestedResult = server.Poll(nestedStatus);
    });
    Deliver(MakeBlock("RF", 0, "two.bin"));
    auto tick = PollAsync();
    EXPECT_EQ(pty.Read(1), Bytes{ACK});
    long expectCnt = 0;
    for (;;) {
        test::SReadBlock block;
        ASSERT_TRUE(pty.ReadBlock(block)) << "after block " << expectCnt;
        ASSERT_EQ(block.type, "SF") << "a nested tick answered the ENQ";
        pty.Send(ACK);
        if (block.cnt == -1) break;
        EXPECT_EQ(block.cnt, expectCnt++);
    }
    EXPECT_EQ(tick.get(), 1);
    EXPECT_EQ(nestedResult, 1);
    EXPECT_EQ(nestedStatus, "");
    EXPECT_EQ(pumps, 2);
}

// The protocol's own limits, at their real values.
class RealLimitsTest : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        server.SetLinkLimits(SLinkLimits{});
    }
};

TEST_F(RealLimitsTest, DefaultLimitsAreTheDesignedOnes) {
    const SLinkLimits limits;
    EXPECT_EQ(limits.header, 6000ms);
    EXPECT_EQ(limits.rest, 6000ms);
    EXPECT_EQ(limits.answer, 3000ms);
    EXPECT_EQ(limits.blockPause, 50ms);
}

TEST_F(RealLimitsTest, HeaderTimeOut) {
    Deliver(Bytes{STX});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(server.Poll(status), kTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 6000ms);
    EXPECT_EQ(status, "Timeout");
}

TEST_F(RealLimitsTest, RestOfBlockTimeOut) {
    Bytes cut = MakeBlock("DR", 9, "abc");
    cut.resize(cut.size() - 1);
    Deliver(cut);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(server.Poll(status), kBlockError);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 6000ms);
    EXPECT_EQ(status, "Block 000009 Error: [1]");
    EXPECT_EQ(pty.Read(1), Bytes{NAK});
}

TEST_F(RealLimitsTest, ThreeUnansweredSendsGiveUp) {
    const Bytes block = MakeBlock("DT", 0, "1");
    const auto start = std::chrono::steady_clock::now();
    auto send = SendAsync(block);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(pty.Read(block.size()), block);
    EXPECT_EQ(send.get(), kTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 9000ms);
    EXPECT_EQ(events.Texts(), std::vector<std::string>(3, "SendBlockRetry Timeout"));
}

}  // namespace
}  // namespace rs232

namespace rs232 {
namespace {

// An unplugged adapter: the device hangs up, and later a device appears behind the same path.
TEST(PortLossTest, AVanishedDeviceIsLoggedOnceAndOpenedAgainWhenItReturns) {
    test::CTempDir dir;
    const std::string link = dir / "ttyUSB0";
    auto first = std::make_unique<CPty>();
    ASSERT_EQ(symlink(first->SlavePath().c_str(), link.c_str()), 0);

    CRs232Server server;
    server.SetDeviceMap({{kPort, link}});
    ASSERT_EQ(server.StartServer(kPort, 115200, nullptr, nullptr), 1);
    std::string status;
    EXPECT_EQ(server.Poll(status), 1);
    EXPECT_EQ(status, "");

    first.reset();
    EXPECT_EQ(server.Poll(status), kPortNotOpen);
    EXPECT_EQ(status, "Serial port " + link + " lost, waiting for it to return");
    EXPECT_EQ(server.Poll(status), kPortNotOpen);
    EXPECT_EQ(status, "") << "the loss is reported once";
    EXPECT_TRUE(server.IsRunning());

    CPty second;
    const std::string fresh = dir / "ttyUSB0.new";
    ASSERT_EQ(symlink(second.SlavePath().c_str(), fresh.c_str()), 0);
    ASSERT_EQ(rename(fresh.c_str(), link.c_str()), 0);

    const auto deadline = std::chrono::steady_clock::now() + 30s;
    std::vector<std::string> texts;
    while (std::chrono::steady_clock::now() < deadline && server.Poll(status) != 1) {
        if (!status.empty()) texts.push_back(status);
        std::this_thread::sleep_for(50ms);  // the service tick
    }
    EXPECT_EQ(status, "Serial port " + link + " reopened");
    EXPECT_TRUE(texts.empty());

    second.Send(ENQ);
    ASSERT_EQ(server.WaitForInQueue(1, CSerialPort::Clock::now() + 10s), 1);
    EXPECT_EQ(server.Poll(status), 1);
    EXPECT_EQ(status, "Client connected");
    EXPECT_EQ(second.Read(1), Bytes{SYN});
}

}  // namespace
}  // namespace rs232
