// The engine on a pseudo-terminal: answers to the line, damaged blocks, replies with retries,
// interrupted downloads, a lost device, and where request paths lead.
#include <termios.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "server/ServerFixture.h"
#include "platform/FileOps.h"

namespace rs232::test {
namespace {

using Clock = std::chrono::steady_clock;
using Link = ServerOnPty;

TEST_F(Link, EnqAndUnknownBytes) {
    // One tick each: (result, status, bytes left in the queue); what follows an ENQ is discarded,
    // an unknown byte is taken alone.
    auto tick = [&] {
        std::string status;
        const int r = server.Poll(status);
        return std::tuple(r, status, server.GetInQueue());
    };
    Deliver(Bytes{ENQ, 'x', 'y'});
    EXPECT_EQ(tick(), std::tuple(1, std::string("Client connected"), 0));
    EXPECT_EQ(pty.Read(1), Bytes{SYN});
    EXPECT_EQ(tick(), std::tuple(1, std::string(), 0));
    Deliver(Bytes{'A', ACK});
    EXPECT_EQ(tick(), std::tuple(int{kUnknownAnswer}, std::string("Unknown Request"), 1));
    EXPECT_EQ(tick(), std::tuple(int{kUnknownAnswer}, std::string("Unknown Request"), 0));
    EXPECT_TRUE(pty.ReadUntilQuiet(100ms).empty());
    // The device runs 8N1, raw, without flow control, and no second opener gets it.
    termios tio{};
    ASSERT_EQ(tcgetattr(server.GetFd(), &tio), 0);
    EXPECT_EQ(std::tuple(cfgetospeed(&tio), tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tio.c_iflag & (IXON | IXOFF)),
              std::tuple(speed_t{B115200}, tcflag_t{CS8}, tcflag_t{0}));
    CSerialPort other;
    other.SetDeviceMap({{kPort, pty.SlavePath()}});
    EXPECT_EQ(other.Open(kPort), kPortOpenFailed);
    // A device that refuses its settings is not kept: the next start opens it again.
    server.StopServer();
    EXPECT_EQ(server.StartServer(kPort, 0), kPortSettingsRefused);
    EXPECT_FALSE(server.IsOpen());
    EXPECT_EQ(server.StartServer(kPort, 115200), 1);
}

TEST_F(Link, DamagedBlocksArePurgedAndAnsweredWithNak) {
    auto changed = [](Bytes b, size_t from, size_t to, auto change) {
        for (size_t i = from; i < std::min(to, b.size()); ++i) b[i] = static_cast<uint8_t>(change(b[i]));
        return b;
    };
    Bytes cut = MakeBlock("DR", 5, "abcdef");
    cut.resize(cut.size() - 4);
    // Bytes behind a refused LEN must be purged too, never read as a block.
    auto header = [](const std::string& text) {
        const std::string b = "\x02" + text + std::string(600, 'q');
        return Bytes(b.begin(), b.end());
    };
    const struct { Bytes block; const char* status; Bytes answer; } cases[] = {
        {changed(MakeBlock("DR", 5, "abc"), 24, 25, [](int) { return 'Z'; }), "Block 000005 Error: [2]", {NAK}},
        {changed(MakeBlock("DR", 5, "abc"), 16, 17, [](int c) { return c ^ 1; }), "Block 000005 Error: [3]", {NAK}},
        // The CRC text 9b0d1c4c in upper case.
        {changed(MakeBlock("IR", -1, "x"), 14, 22, ::toupper), "Block -000001 Error: [3]", {NAK}},
        {cut, "Block 000005 Error: [1]", {NAK}},  // the rest of the block too late
        {header("FT     1 521"), "Block 000001 Error: [1]", {NAK}},
        {header("FT     2  -5"), "Block 000002 Error: [1]", {NAK}},
        {header("FT     3 abc"), "Block 000003 Error: [1]", {NAK}},
        {{STX, 'D', 'R', ' '}, "Timeout", {}},  // the header too late: no answer
    };
    for (const auto& c : cases) {
        const SPollResult r = Poll(c.block).get();
        EXPECT_EQ(pty.ReadUntilQuiet(100ms), c.answer) << c.status;
        EXPECT_EQ(std::tuple(r.result, r.status, server.GetInQueue()),
                  std::tuple(c.answer.empty() ? int{kTimeout} : int{kBlockError}, std::string(c.status), 0));
    }
}

TEST_F(Link, SendBlockRetryFollowsTheAnswers) {
    server.SetLinkLimits(Limits(200ms));
    const Bytes block = MakeBlock("SF", 1, "payload");
    const std::string nak = "SendBlockRetry NAK", silent = "SendBlockRetry Timeout";
    const struct {
        std::vector<int> answers;  // one per send; -1: stay silent
        int result;
        std::vector<std::string> lines;
    } cases[] = {
        {{NAK, -1, NAK, -1, NAK}, kSendNakLimit, {nak, silent, nak, silent, nak}},
        {{-1, -1, -1}, kTimeout, {silent, silent, silent}},
        {{EOT}, kSendEot, {}},
        {{SYN}, kUnknownAnswer, {}},
    };
    for (const auto& c : cases) {
        events.lines.clear();
        auto send = std::async(std::launch::async, [&] { return server.SendBlockRetry(block.data(), static_cast<int>(block.size())); });
        for (int answer : c.answers) {
            EXPECT_EQ(pty.Read(block.size()), block);
            if (answer >= 0) pty.Send(static_cast<uint8_t>(answer));
        }
        EXPECT_EQ(send.get(), c.result);
        EXPECT_TRUE(pty.ReadUntilQuiet(50ms).empty()) << "no further send";
        EXPECT_EQ(events.Texts(), c.lines);
    }
}

// A tick that runs inside a request (through the message pump) must not touch the line; a
// download ends at EOT, after an unanswered header and at a read error, and the next request
// is served.
TEST_F(Link, DownloadsPumpAndBreak) {
    base.WriteFile("two.bin", std::string(1600, 'z'));
    SPollResult nested{0, "untouched", {}};
    int pumps = 0;
    server.SetMessagePump([&] {
        if (pumps++ != 0) return;
        pty.Send(ENQ);
        server.WaitForInQueue(1, CSerialPort::Clock::now() + 10s);
        nested.result = server.Poll(nested.status);
    });
    auto tick = Request("RF", 0, "two.bin");
    EXPECT_EQ(Reply().cnt, 0);
    const SReadBlock first = Reply(NAK);
    EXPECT_EQ(Reply().raw, first.raw) << "a NAKed block goes out again";
    EXPECT_EQ(Reply().cnt, 2) << "a nested tick answered the ENQ";
    EXPECT_EQ(Reply(EOT).cnt, 3);
    EXPECT_EQ(tick.get().status, "Error -108 (Pos 2) while sending SF Block!");
    EXPECT_TRUE(pty.ReadUntilQuiet(200ms).empty());  // no end block
    EXPECT_EQ(nested.result, 1);
    EXPECT_EQ(nested.status, "");

    server.SetLinkLimits(Limits(100ms));  // three unanswered sends of the header
    tick = Request("RF", 0, "two.bin");
    for (SReadBlock header; pty.ReadBlock(header, 1s);) EXPECT_EQ(header.cnt, 0);
    EXPECT_EQ(tick.get().status, "Error -106 (Pos 1) while sending SF Block!");
    // Reading this process's memory at offset 0 fails: a real read error after the header.
    server.SetLinkLimits(Limits(1000ms));
    tick = Request("RF", 0, "/proc/self/mem");
    EXPECT_EQ(Reply().cnt, 0);
    const SPollEvent failed = tick.get().event;
    EXPECT_TRUE(failed.report && failed.outcome && failed.outcome->result == EResult::Failed) << failed.text;
    EXPECT_TRUE(pty.ReadUntilQuiet(200ms).empty());
    tick = Request("DR", 0, "");
    EXPECT_EQ(Reply().type, "DT");
    EXPECT_EQ(tick.get().result, 1);
}

// An unplugged adapter behind a stable link, as /dev/serial/by-id/ gives one: the device hangs up,
// and later the adapter comes back as another tty behind the same link, opened through it.
TEST(PortLoss, AVanishedDeviceIsLoggedOnceAndOpenedAgainWhenItReturns) {
    CTempDir dir;
    const std::string link = dir / "usb-Example_USB-Serial_A1-if00-port0", fresh = link + ".new";
    auto first = std::make_unique<CPty>();
    ASSERT_EQ(symlink(first->SlavePath().c_str(), link.c_str()), 0);
    CRs232Server server;
    server.SetDeviceMap({{6, link}});
    ASSERT_EQ(server.StartServer(6, 115200), 1);
    std::string status;
    first.reset();
    EXPECT_EQ(server.Poll(status), kPortNotOpen);
    EXPECT_EQ(status, "Serial port " + link + " lost, waiting for it to return");
    EXPECT_EQ(server.Poll(status), kPortNotOpen);
    EXPECT_EQ(status, "") << "the loss is reported once";

    CPty second;
    ASSERT_EQ(symlink(second.SlavePath().c_str(), fresh.c_str()), 0);
    ASSERT_EQ(rename(fresh.c_str(), link.c_str()), 0);
    for (const auto end = Clock::now() + 30s; Clock::now() < end && server.Poll(status) != 1;)
        std::this_thread::sleep_for(50ms);  // the service tick
    EXPECT_EQ(status, "Serial port " + link + " reopened");
    second.Send(ENQ);
    ASSERT_EQ(server.WaitForInQueue(1, CSerialPort::Clock::now() + 10s), 1);
    EXPECT_EQ(server.Poll(status), 1);
    EXPECT_EQ(second.Read(1), Bytes{SYN});
}

TEST(Path, Resolution) {
    CRs232Server server;
    auto resolve = [&](const std::string& request, std::string path = {}, std::string status = {}) {
        EXPECT_TRUE(server.ResolvePath(request, path, status)) << request;
        return path;
    };
    EXPECT_EQ(server.DeviceName(1), "/dev/ttyS0");
    server.SetBasePath("/srv/data/");
    const std::pair<const char*, const char*> cases[] = {
        {"file.txt", "/srv/data/file.txt"}, {"sub\\file.txt", "/srv/data/sub/file.txt"},
        {"C:\\data\\a.txt", "/data/a.txt"}, {"c:data", "/data"}, {"a:", "/"},
        {"\\in\\b.txt", "/in/b.txt"},       {"/tmp/x", "/tmp/x"}, {"", "/srv/data/"}, {"ab:c", "/srv/data/ab:c"},
    };
    for (const auto& [request, resolved] : cases) EXPECT_EQ(resolve(request), resolved);
    server.SetBasePath("/srv/data");  // typed without its final separator: joined as typed
    EXPECT_EQ(resolve("file.txt"), "/srv/datafile.txt");
}

}  // namespace
}  // namespace rs232::test
