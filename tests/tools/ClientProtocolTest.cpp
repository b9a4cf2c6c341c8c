// The client's side of the protocol against a peer played by the test on a real pseudo-terminal.
#include <gtest/gtest.h>

#include <ctime>
#include <future>

#include "Client.h"
#include "support/Process.h"

namespace rs232::test {
namespace {

using client::CClientError;
using Kind = CClientError::Kind;

client::SClientLimits ShortLimits() {
    client::SClientLimits l;
    l.synWait = l.serverRestWait = l.serverAnswerWait = 300ms;
    l.slack = 200ms;
    l.quiet = 50ms;
    return l;
}

struct SPeer {
    CPty pty;
    CTempDir dir;
    CSerialPort port;
    client::CClientLink link{port, 115200, ShortLimits()};
    client::CClient client{link};

    SPeer() {
        port.SetDeviceMap({{1, pty.SlavePath()}});
        port.SetParams(115200, 'N', 8, 1, 0, 0);
        if (port.Open(1) != kPortOk) throw std::runtime_error("cannot open pty");
    }
    template <class F>
    auto Start(F request) {
        return std::async(std::launch::async, [this, request] { return request(client); });
    }
    void Handshake() {
        ASSERT_EQ(pty.Read(1), Bytes{ENQ});
        pty.Send(SYN);
    }
    // Reads the next block, checks its type and CNT, and answers it (unless answer is 0).
    SReadBlock Expect(const char* type, long cnt, uint8_t answer) {
        SReadBlock b;
        EXPECT_TRUE(pty.ReadBlock(b) && b.valid);
        EXPECT_EQ(b.type, type);
        EXPECT_EQ(b.cnt, cnt);
        if (answer) pty.Send(answer);
        return b;
    }
    // Sends a reply block and returns the client's one-byte answer.
    uint8_t Reply(const Bytes& block) {
        pty.Send(block);
        const Bytes a = pty.Read(1);
        return a.empty() ? 0 : a[0];
    }
    // The DR exchange with which an upload learns the server's clock.
    void Clock(long now) {
        Handshake();
        Expect("DR", 0, ACK);
        EXPECT_EQ(Reply(MakeBlock("DT", 0, std::to_string(now))), ACK);
    }
};

template <class T>
void ExpectError(std::future<T>& request, Kind kind, const std::string& text = {}) {
    try {
        request.get();
        ADD_FAILURE() << "no error";
    } catch (const CClientError& e) {
        EXPECT_EQ(e.GetKind(), kind);
        EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
    }
}

Bytes Slice(const Bytes& v, size_t from, size_t n) {
    return Bytes(v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(from + n));
}

TEST(ClientProtocol, DownloadNaksDamagedBlocksAndStoresRepeatsOnce) {
    SPeer peer;
    const Bytes content = Pattern(1001, 5);
    auto done = peer.Start([&](auto& c) { return c.Get("in\\f.bin", peer.dir / "f.bin"); });
    peer.Handshake();
    EXPECT_EQ(Text(peer.Expect("RF", 0, ACK).data), "in\\f.bin");
    EXPECT_EQ(peer.Reply(MakeBlock("SF", 0, "in\\f.bin;1001")), ACK);

    const Bytes b1 = MakeBlock("SF", 1, Slice(content, 0, 500));
    Bytes badCrc = b1, badEtx = b1;
    badCrc[100] ^= 0x10;
    badEtx.back() = 0x00;
    EXPECT_EQ(peer.Reply(badCrc), NAK);
    EXPECT_EQ(peer.Reply(badEtx), NAK);
    EXPECT_EQ(peer.Reply(b1), ACK);
    EXPECT_EQ(peer.Reply(b1), ACK);  // our ACK "lost": the same block again
    const Bytes b2 = MakeBlock("SF", 2, Slice(content, 500, 500));
    EXPECT_EQ(peer.Reply(Slice(b2, 0, 200)), NAK);  // cut short: NAK once the line is quiet
    EXPECT_EQ(peer.Reply(b2), ACK);
    EXPECT_EQ(peer.Reply(MakeBlock("SF", 3, Slice(content, 1000, 1))), ACK);
    EXPECT_EQ(peer.Reply(MakeBlock("SF", -1, "")), ACK);

    EXPECT_EQ(done.get(), 1001);
    EXPECT_EQ(peer.dir.ReadFile("f.bin"), Text(content));
    EXPECT_EQ(ListDir(peer.dir.Path()), std::vector<std::string>{"f.bin"});
}

TEST(ClientProtocol, FailedDownloadsLeaveTheLocalFileAlone) {
    SPeer peer;
    peer.dir.WriteFile("f.bin", "old");
    struct SCase {
        std::vector<Bytes> replies;  // each answered by the client's ACK, a damaged one by NAK
        Kind kind;
        std::string text;
    };
    Bytes bad = MakeBlock("SF", 1, "abc");
    bad[14] ^= 0x01;
    const SCase cases[] = {
        // Fewer bytes than the header announced.
        {{MakeBlock("SF", 0, "f.bin;10"), MakeBlock("SF", 1, "12345"), MakeBlock("SF", -1, "")},
         Kind::Failure, "5 of 10"},
        // The server's refusal header.
        {{MakeBlock("SF", -2, "File not found")}, Kind::Failure, "File not found"},
        // A block damaged three times: the third NAK ends the sender's retries, and ours.
        {{MakeBlock("SF", 0, "f.bin;3"), bad, bad, bad}, Kind::NoAnswer, "3 times"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto done = peer.Start([&](auto& client) { return client.Get("f.bin", peer.dir / "f.bin"); });
        peer.Handshake();
        peer.Expect("RF", 0, ACK);
        for (const Bytes& reply : c.replies) EXPECT_EQ(peer.Reply(reply), reply == bad ? NAK : ACK);
        ExpectError(done, c.kind, c.text);
        EXPECT_EQ(peer.dir.ReadFile("f.bin"), "old");
        EXPECT_EQ(ListDir(peer.dir.Path()), std::vector<std::string>{"f.bin"});
    }
}

TEST(ClientProtocol, UploadResendsAfterNakAndSilenceAndIsConfirmedOnlyByANewFile) {
    SPeer peer;
    const Bytes content = Pattern(600, 6);
    peer.dir.WriteFile("up.bin", Text(content));
    const long now = static_cast<long>(std::time(nullptr));
    auto done = peer.Start([&](auto& c) { return c.Put(peer.dir / "up.bin", "up.bin"); });
    peer.Clock(now);
    peer.Handshake();
    EXPECT_EQ(Text(peer.Expect("FT", 0, ACK).data), "up.bin;600");
    peer.Expect("FT", 1, NAK);
    peer.Expect("FT", 1, 0);  // no answer: the client sends it again after its wait
    EXPECT_EQ(peer.Expect("FT", 1, ACK).data, Slice(content, 0, 520));
    peer.pty.Send(SYN);  // a stray byte before the next answer is not taken for one
    EXPECT_EQ(peer.Expect("FT", 2, ACK).data, Slice(content, 520, 80));
    EXPECT_EQ(peer.Expect("FT", -1, ACK).len, 0);
    peer.Handshake();
    EXPECT_EQ(Text(peer.Expect("IR", 0, ACK).data), "up.bin");
    EXPECT_EQ(peer.Reply(MakeBlock("FI", 0, "600;" + std::to_string(now) + "; ")), ACK);
    EXPECT_EQ(done.get(), 600);

    // The same size, but last written an hour before the upload began: a failure.
    peer.dir.WriteFile("up.bin", "abc");
    done = peer.Start([&](auto& c) { return c.Put(peer.dir / "up.bin", "up.bin"); });
    peer.Clock(now);
    peer.Handshake();
    peer.Expect("FT", 0, ACK);
    peer.Expect("FT", 1, ACK);
    peer.Expect("FT", -1, ACK);
    peer.Handshake();
    peer.Expect("IR", 0, ACK);
    std::string fi = "3;" + std::to_string(now - 3600) + ";";
    fi.push_back('\0');
    EXPECT_EQ(peer.Reply(MakeBlock("FI", 0, fi)), ACK);
    ExpectError(done, Kind::Failure);
}

TEST(ClientProtocol, SilentLineGivesNoAnswerAfterThreeEnquiriesAndNoiseIsSkipped) {
    SPeer peer;
    auto time = peer.Start([](auto& c) { return c.ServerTime(); });
    ExpectError(time, Kind::NoAnswer);
    EXPECT_EQ(peer.pty.ReadUntilQuiet(), (Bytes{ENQ, ENQ, ENQ}));

    // Noise before the SYN is skipped; the reply's attribute byte 0x00 is read as such.
    auto info = peer.Start([](auto& c) { return c.Info("x"); });
    ASSERT_EQ(peer.pty.Read(1), Bytes{ENQ});
    peer.pty.Send(Bytes{0x41, NAK, SYN});
    peer.Expect("IR", 0, ACK);
    std::string fi = "7;1000000000;";
    fi.push_back('\0');
    EXPECT_EQ(peer.Reply(MakeBlock("FI", 0, fi)), ACK);
    const auto i = info.get();
    EXPECT_TRUE(i.found);
    EXPECT_EQ(i.size, 7);
    EXPECT_EQ(i.mtime, 1000000000);
    EXPECT_EQ(i.attributes, 0);
}

TEST(ClientProtocol, ListLinesAreParsedFromTheRight) {
    client::SListEntry e;
    ASSERT_TRUE(client::ParseListLine("a;b.txt;500;1000000000;21", e));
    EXPECT_EQ(e.name, "a;b.txt");
    EXPECT_EQ(e.size, 500);
    EXPECT_EQ(e.mtime, 1000000000);
    EXPECT_EQ(client::AttributeLetters(e.attributes), "-r--a");
    EXPECT_FALSE(client::ParseListLine("name;500;x;20", e));
    EXPECT_FALSE(client::ParseListLine("500;20", e));
}

}  // namespace
}  // namespace rs232::test
