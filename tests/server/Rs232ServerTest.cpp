// The engine on a pseudo-terminal: answers to the line, damaged blocks, replies with retries and
// the protocol's time limits.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <thread>

#include "server/ServerFixture.h"

namespace rs232::test {
namespace {

using Clock = std::chrono::steady_clock;
using Link = ServerOnPty;

TEST_F(Link, EnqAndUnknownBytes) {
    std::string status;
    Deliver(Bytes{ENQ, 'x', 'y'});
    EXPECT_EQ(server.Poll(status), 1);
    EXPECT_EQ(status, "Client connected");
    EXPECT_EQ(pty.Read(1), Bytes{SYN});
    EXPECT_EQ(server.GetInQueue(), 0) << "what followed the ENQ is discarded";
    EXPECT_EQ(server.Poll(status), 1) << "an idle line";
    EXPECT_EQ(status, "");

    Deliver(Bytes{'A', ACK});
    EXPECT_EQ(server.Poll(status), kUnknownAnswer);
    EXPECT_EQ(status, "Unknown Request");
    EXPECT_EQ(server.GetInQueue(), 1) << "one byte per tick, nothing purged";
    EXPECT_EQ(server.Poll(status), kUnknownAnswer);
    EXPECT_TRUE(pty.ReadUntilQuiet(100ms).empty());
}

TEST_F(Link, ValidBlocksAreAcknowledgedAndDispatchedInTheSameTick) {
    const SPollResult unknown = Request("XY", 0, "data").get();
    EXPECT_EQ(unknown.result, kRefused);
    EXPECT_EQ(unknown.status, "Unknown block typ");
    auto tick = Request("DR", 0, "");
    EXPECT_EQ(Reply().type, "DT");
    EXPECT_EQ(tick.get().result, 1);
}

TEST_F(Link, DamagedBlocksArePurgedAndAnsweredWithNak) {
    Bytes noEtx = MakeBlock("DR", 5, "abc");
    noEtx.back() = 'Z';
    Bytes badCrc = MakeBlock("DR", 5, "abc");
    badCrc[16] ^= 0x01;
    Bytes upperCrc = MakeBlock("IR", -1, "x");  // CRC text 9b0d1c4c has letters
    for (size_t i = 14; i < 22; ++i) upperCrc[i] = static_cast<uint8_t>(toupper(upperCrc[i]));
    ASSERT_NE(upperCrc, MakeBlock("IR", -1, "x"));
    Bytes cut = MakeBlock("DR", 5, "abcdef");
    cut.resize(cut.size() - 4);
    // Bytes behind a refused LEN must be purged too, never read as a block.
    auto header = [](const std::string& text) {
        const std::string b = "\x02" + text + std::string(600, 'q');
        return Bytes(b.begin(), b.end());
    };
    const std::pair<Bytes, const char*> cases[] = {
        {noEtx, "Block 000005 Error: [2]"},
        {badCrc, "Block 000005 Error: [3]"},
        {upperCrc, "Block -000001 Error: [3]"},
        {cut, "Block 000005 Error: [1]"},
        {header("FT     1 521"), "Block 000001 Error: [1]"},
        {header("FT     2  -5"), "Block 000002 Error: [1]"},
        {header("FT     3 abc"), "Block 000003 Error: [1]"},
    };
    for (const auto& [block, text] : cases) {
        SCOPED_TRACE(text);
        auto tick = Poll(block);
        EXPECT_EQ(pty.Read(1), Bytes{NAK});
        const SPollResult r = tick.get();
        EXPECT_EQ(r.result, kBlockError);
        EXPECT_EQ(r.status, text);
        EXPECT_EQ(server.GetInQueue(), 0);
    }
}

TEST_F(Link, StartingStoppingAndAClosedPort) {
    std::string status;
    EXPECT_EQ(server.StartServer(kPort, 115200, nullptr, nullptr), kServerAlreadyRunning);
    EXPECT_EQ(server.StopServer(), 1);
    EXPECT_EQ(server.Poll(status), kServerNotRunning);
    EXPECT_EQ(status, "Server not running");
    EXPECT_EQ(server.StopServer(), kPortNotOpen);
    const Bytes block = MakeBlock("SF", 1, "x");
    EXPECT_EQ(server.SendBlockRetry(block.data(), static_cast<int>(block.size())),
              kSendShortWrite);

    CRs232Server fresh;
    fresh.SetDeviceMap({{kPort, "/dev/does-not-exist-rs232"}});
    EXPECT_EQ(fresh.StartServer(kPort, 115200, nullptr, nullptr), kPortOpenFailed);
    EXPECT_EQ(fresh.StartServer(0, 115200, nullptr, nullptr), kPortOutOfRange);
    EXPECT_FALSE(fresh.IsRunning());

    // A device that refuses its settings is not kept: the next start opens it again.
    EXPECT_EQ(server.StartServer(kPort, 0, nullptr, nullptr), kPortSettingsRefused);
    EXPECT_FALSE(server.IsOpen());
    EXPECT_EQ(server.StartServer(kPort, 115200, nullptr, nullptr), 1);
}

TEST_F(Link, SendBlockRetryFollowsTheAnswers) {
    const Bytes block = MakeBlock("SF", 1, "payload");
    const std::string nak = "SendBlockRetry NAK", silent = "SendBlockRetry Timeout";
    const struct {
        std::vector<int> answers;  // one per send; -1: stay silent
        int result;
        std::vector<std::string> lines;
    } cases[] = {
        {{ACK}, 1, {}},
        {{NAK, NAK, NAK}, kSendNakLimit, {nak, nak, nak}},
        {{NAK, -1, NAK, -1, NAK}, kSendNakLimit, {nak, silent, nak, silent, nak}},
        {{NAK, ACK}, 1, {nak}},
        {{EOT}, kSendEot, {}},
        {{SYN}, kUnknownAnswer, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines.size());
        events.lines.clear();
        auto send = std::async(std::launch::async, [&] {
            return server.SendBlockRetry(block.data(), static_cast<int>(block.size()));
        });
        for (int answer : c.answers) {
            EXPECT_EQ(pty.Read(block.size()), block);
            if (answer >= 0) pty.Send(static_cast<uint8_t>(answer));
        }
        EXPECT_EQ(send.get(), c.result);
        EXPECT_TRUE(pty.ReadUntilQuiet(50ms).empty()) << "no further send";
        EXPECT_EQ(events.Texts(), c.lines);
    }
}

// A tick that runs inside a request (through the message pump) must not touch the line.
TEST_F(Link, ANestedPollLeavesTheLineToTheRequestInProgress) {
    base.WriteFile("two.bin", std::string(700, 'z'));
    SPollResult nested{0, "untouched"};
    int pumps = 0;
    server.SetMessagePump([&] {
        if (pumps++ != 0) return;
        pty.Send(ENQ);
        server.WaitForInQueue(1, CSerialPort::Clock::now() + 10s);
        nested.result = server.Poll(nested.status);
    });
    auto tick = Request("RF", 0, "two.bin");
    for (long expect : {0, 1, 2, -1}) {  // header, 500 + 200 bytes, end
        const SReadBlock block = Reply();
        ASSERT_EQ(block.type, "SF") << "a nested tick answered the ENQ";
        EXPECT_EQ(block.cnt, expect);
    }
    EXPECT_EQ(tick.get().result, 1);
    EXPECT_EQ(nested.result, 1);
    EXPECT_EQ(nested.status, "");
    EXPECT_EQ(pumps, 2);
}

// The protocol's own limits at their real values, one test each.
TEST_F(Link, RealHeaderLimitEndsWithoutAnswer) {
    server.SetLinkLimits(SLinkLimits{});
    std::string status;
    Deliver(Bytes{STX, 'D', 'R', ' '});
    const auto start = Clock::now();
    EXPECT_EQ(server.Poll(status), kTimeout);
    EXPECT_GE(Clock::now() - start, 6000ms);
    EXPECT_EQ(status, "Timeout");
    EXPECT_EQ(server.GetInQueue(), 0);
    EXPECT_TRUE(pty.ReadUntilQuiet(100ms).empty()) << "no NAK after a header time-out";
}

TEST_F(Link, RealRestOfBlockLimit) {
    server.SetLinkLimits(SLinkLimits{});
    std::string status;
    Bytes cut = MakeBlock("DR", 9, "abc");
    cut.pop_back();
    Deliver(cut);
    const auto start = Clock::now();
    EXPECT_EQ(server.Poll(status), kBlockError);
    EXPECT_GE(Clock::now() - start, 6000ms);
    EXPECT_EQ(status, "Block 000009 Error: [1]");
    EXPECT_EQ(pty.Read(1), Bytes{NAK});
}

TEST_F(Link, RealAnswerLimitGivesUpAfterThreeSilences) {
    server.SetLinkLimits(SLinkLimits{});
    const Bytes block = MakeBlock("DT", 0, "1");
    const auto start = Clock::now();
    auto send = std::async(std::launch::async, [&] {
        return server.SendBlockRetry(block.data(), static_cast<int>(block.size()));
    });
    for (int i = 0; i < 3; ++i) EXPECT_EQ(pty.Read(block.size()), block);
    EXPECT_EQ(send.get(), kTimeout);
    EXPECT_GE(Clock::now() - start, 9000ms);
    EXPECT_EQ(events.Texts(), std::vector<std::string>(3, "SendBlockRetry Timeout"));
}

// An unplugged adapter: the device hangs up, and later a device appears behind the same path.
TEST(PortLoss, AVanishedDeviceIsLoggedOnceAndOpenedAgainWhenItReturns) {
    CTempDir dir;
    const std::string link = dir / "ttyUSB0", fresh = dir / "ttyUSB0.new";
    auto first = std::make_unique<CPty>();
    ASSERT_EQ(symlink(first->SlavePath().c_str(), link.c_str()), 0);
    CRs232Server server;
    server.SetDeviceMap({{6, link}});
    ASSERT_EQ(server.StartServer(6, 115200, nullptr, nullptr), 1);
    std::string status;
    first.reset();
    EXPECT_EQ(server.Poll(status), kPortNotOpen);
    EXPECT_EQ(status, "Serial port " + link + " lost, waiting for it to return");
    EXPECT_EQ(server.Poll(status), kPortNotOpen);
    EXPECT_EQ(status, "") << "the loss is reported once";
    EXPECT_TRUE(server.IsRunning());

    CPty second;
    ASSERT_EQ(symlink(second.SlavePath().c_str(), fresh.c_str()), 0);
    ASSERT_EQ(rename(fresh.c_str(), link.c_str()), 0);
    const auto deadline = Clock::now() + 30s;
    while (Clock::now() < deadline && server.Poll(status) != 1) {
        EXPECT_EQ(status, "");
        std::this_thread::sleep_for(50ms);  // the service tick
    }
    EXPECT_EQ(status, "Serial port " + link + " reopened");
    second.Send(ENQ);
    ASSERT_EQ(server.WaitForInQueue(1, CSerialPort::Clock::now() + 10s), 1);
    EXPECT_EQ(server.Poll(status), 1);
    EXPECT_EQ(second.Read(1), Bytes{SYN});
}

}  // namespace
}  // namespace rs232::test
