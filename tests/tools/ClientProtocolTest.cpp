// The client's side of the protocol against a peer played by the test on a real pseudo-terminal.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <future>

#include "Client.h"
#include "ToolPaths.h"
#include "support/Pty.h"
#include "support/TempDir.h"

namespace rs232::test {
namespace {

using client::CClient;
using client::CClientError;
using client::CClientLink;
using client::SClientLimits;
using Kind = CClientError::Kind;

SClientLimits ShortLimits() {
    SClientLimits l;
    l.synWait = std::chrono::milliseconds(300);
    l.serverRestWait = std::chrono::milliseconds(300);
    l.serverAnswerWait = std::chrono::milliseconds(300);
    l.slack = std::chrono::milliseconds(200);
    l.quiet = std::chrono::milliseconds(50);
    return l;
}

struct SPeer {
    CPty pty;
    CTempDir dir;
    CSerialPort port;
    std::unique_ptr<CClientLink> link;
    std::unique_ptr<CClient> client;

    explicit SPeer(SClientLimits limits = ShortLimits()) {
        port.SetDeviceMap({{1, pty.SlavePath()}});
        port.SetParams(115200, 'N', 8, 1, 0, 0);
        if (port.Open(1) != kPortOk) throw std::runtime_error("cannot open pty");
        link = std::make_unique<CClientLink>(port, 115200, limits);
        client = std::make_unique<CClient>(*link);
    }
    void Handshake() {
        ASSERT_EQ(pty.Read(1), Bytes{ENQ});
        pty.Send(SYN);
    }
    // Reads the next block, checks its type and CNT, and answers it.
    SReadBlock Expect(const char* type, long cnt, uint8_t answer) {
        SReadBlock b;
        EXPECT_TRUE(pty.ReadBlock(b));
        EXPECT_TRUE(b.valid);
        EXPECT_EQ(b.type, type);
        EXPECT_EQ(b.cnt, cnt);
        if (answer) pty.Send(answer);
        return b;
    }
    // Sends a reply block and returns the client's one-byte answer.
    uint8_t Reply(const Bytes& block) {
        pty.Send(block);
        Bytes a = pty.Read(1, std::chrono::seconds(10));
        return a.empty() ? 0 : a[0];
    }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir.Path()))
            names.push_back(e.path().filename().string());
        return names;
    }
};

Bytes Slice(const Bytes& v, size_t from, size_t n) {
    return Bytes(v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(from + n));
}

std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }

TEST(ClientProtocol, DownloadNaksDamagedBlocksAndStoresRepeatsOnce) {
    SPeer peer;
    const Bytes content = PatternBytes(1001, 5);
    const std::string local = peer.dir / "f.bin";
    auto done = std::async(std::launch::async,
                           [&] { return peer.client->Get("in\\f.bin", local); });
    peer.Handshake();
    EXPECT_EQ(Text(peer.Expect("RF", 0, ACK).data), "in\\f.bin");
    EXPECT_EQ(peer.Reply(MakeBlock("SF", 0, "in\\f.bin;1001")), ACK);

    const Bytes b1 = MakeBlock("SF", 1, Slice(content, 0, 500));
    Bytes badCrc = b1;
    badCrc[100] ^= 0x10;
    Bytes badEtx = b1;
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
    EXPECT_EQ(peer.Files(), std::vector<std::string>{"f.bin"});
}

TEST(ClientProtocol, FailedDownloadsLeaveTheLocalFileAlone) {
    SPeer peer;
    peer.dir.WriteFile("f.bin", "old");
    const std::string local = peer.dir / "f.bin";
    auto expectFailure = [&](std::future<long>& f, Kind kind, const std::string& text) {
        try {
            f.get();
            ADD_FAILURE() << "no error";
        } catch (const CClientError& e) {
            EXPECT_EQ(e.GetKind(), kind);
            EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
        }
        EXPECT_EQ(peer.dir.ReadFile("f.bin"), "old");
        EXPECT_EQ(peer.Files(), std::vector<std::string>{"f.bin"});
    };

    // Fewer bytes than the header announced.
    auto f1 = std::async(std::launch::async, [&] { return peer.client->Get("f.bin", local); });
    peer.Handshake();
    peer.Expect("RF", 0, ACK);
    EXPECT_EQ(peer.Reply(MakeBlock("SF", 0, "f.bin;10")), ACK);
    EXPECT_EQ(peer.Reply(MakeBlock("SF", 1, "12345")), ACK);
    EXPECT_EQ(peer.Reply(MakeBlock("SF", -1, "")), ACK);
    expectFailure(f1, Kind::Failure, "5 of 10");

    // The server's refusal header.
    auto f2 = std::async(std::launch::async, [&] { return peer.client->Get("f.bin", local); });
    peer.Handshake();
    peer.Expect("RF", 0, ACK);
    EXPECT_EQ(peer.Reply(MakeBlock("SF", -2, "File not found")), ACK);
    expectFailure(f2, Kind::Failure, "File not found");

    // A block damaged three times: the third NAK ends the sender's retries, and ours.
    auto f3 = std::async(std::launch::async, [&] { return peer.client->Get("f.bin", local); });
    peer.Handshake();
    peer.Expect("RF", 0, ACK);
    EXPECT_EQ(peer.Reply(MakeBlock("SF", 0, "f.bin;3")), ACK);
    Bytes bad = MakeBlock("SF", 1, "abc");
    bad[14] ^= 0x01;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(peer.Reply(bad), NAK);
    expectFailure(f3, Kind::NoAnswer, "3 times");
}

TEST(ClientProtocol, UploadResendsAfterNakAndSilenceAndConfirmsWithInfo) {
    SPeer peer;
    const Bytes content = PatternBytes(600, 6);
    peer.dir.WriteFile("up.bin", Text(content));
    const std::string now = std::to_string(std::time(nullptr));
    auto done = std::async(std::launch::async,
                           [&] { return peer.client->Put(peer.dir / "up.bin", "up.bin"); });
    peer.Handshake();
    peer.Expect("DR", 0, ACK);
    EXPECT_EQ(peer.Reply(MakeBlock("DT", 0, now)), ACK);

    peer.Handshake();
    EXPECT_EQ(Text(peer.Expect("FT", 0, ACK).data), "up.bin;600");
    peer.Expect("FT", 1, NAK);
    peer.Expect("FT", 1, 0);  // no answer: the client sends it again after its wait
    EXPECT_EQ(peer.Expect("FT", 1, ACK).data, Slice(content, 0, 500));
    peer.pty.Send(SYN);  // a stray byte before the next answer is not taken for one
    EXPECT_EQ(peer.Expect("FT", 2, ACK).data, Slice(content, 500, 100));
    EXPECT_EQ(peer.Expect("FT", -1, ACK).len, 0);

    peer.Handshake();
    EXPECT_EQ(Text(peer.Expect("IR", 0, ACK).data), "up.bin");
    EXPECT_EQ(peer.Reply(MakeBlock("FI", 0, "600;" + now + "; ")), ACK);
    EXPECT_EQ(done.get(), 600);
}

TEST(ClientProtocol, UploadNotConfirmedByAnOlderFileIsAFailure) {
    SPeer peer;
    peer.dir.WriteFile("up.bin", "abc");
    const long now = static_cast<long>(std::time(nullptr));
    auto done = std::async(std::launch::async,
                           [&] { return peer.client->Put(peer.dir / "up.bin", "up.bin"); });
    peer.Handshake();
    peer.Expect("DR", 0, ACK);
    EXPECT_EQ(peer.Reply(MakeBlock("DT", 0, std::to_string(now))), ACK);
    peer.Handshake();
    peer.Expect("FT", 0, ACK);
    peer.Expect("FT", 1, ACK);
    peer.Expect("FT", -1, ACK);
    peer.Handshake();
    peer.Expect("IR", 0, ACK);
    // Same size, but last written an hour before the upload began.
    std::string fi = "3;" + std::to_string(now - 3600) + ";";
    fi.push_back('\0');
    EXPECT_EQ(peer.Reply(MakeBlock("FI", 0, fi)), ACK);
    try {
        done.get();
        ADD_FAILURE() << "an old file was taken for the upload";
    } catch (const CClientError& e) {
        EXPECT_EQ(e.GetKind(), Kind::Failure);
    }
}

TEST(ClientProtocol, SilentLineGivesNoAnswerAfterThreeEnquiries) {
    SPeer peer;
    auto done = std::async(std::launch::async, [&] { return peer.client->ServerTime(); });
    try {
        done.get();
        ADD_FAILURE() << "no error";
    } catch (const CClientError& e) {
        EXPECT_EQ(e.GetKind(), Kind::NoAnswer);
    }
    EXPECT_EQ(peer.pty.ReadUntilQuiet(), (Bytes{ENQ, ENQ, ENQ}));

    // Noise before the SYN is skipped; the reply's attribute byte 0x00 is read as such.
    auto info = std::async(std::launch::async, [&] { return peer.client->Info("x"); });
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
    EXPECT_EQ(e.attributes, 0x21u);
    EXPECT_EQ(client::AttributeLetters(e.attributes), "-r--a");
    EXPECT_FALSE(client::ParseListLine("name;500;x;20", e));
    EXPECT_FALSE(client::ParseListLine("500;20", e));
}

}  // namespace
}  // namespace rs232::test
