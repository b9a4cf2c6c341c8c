// Requests refused before any file is touched: CNT, the two-path split and path lengths.
#include <gtest/gtest.h>

#include "link/Rs232Server.h"
#include "platform/FileOps.h"
#include "support/TempDir.h"

namespace rs232::test {
namespace {

struct SOutcome {
    int result;
    std::string status;
};

SOutcome Call(CRs232Server& server, CRs232Server::Handler handler, long cnt,
              const std::string& data, int len = -1000) {
    SOutcome o{0, ""};
    o.result = (server.*handler)(cnt, reinterpret_cast<const uint8_t*>(data.data()),
                                 len == -1000 ? static_cast<int>(data.size()) : len, o.status);
    return o;
}

TEST(Refusal, TwoPathRequests) {
    CTempDir base;
    CRs232Server server;
    server.SetBasePath(base.Path());
    base.WriteFile("a.txt", "a");
    for (auto [handler, type] : {std::pair{&CRs232Server::CFBlockReceived, "CF"},
                                 std::pair{&CRs232Server::DLBlockReceived, "DL"}}) {
        const std::string notSeparated = std::string("Error: ") + type + " Block Data not separated";
        for (const std::string& data : {std::string("a.txt"), std::string("\na.txt"),
                                        std::string()}) {
            const SOutcome o = Call(server, handler, 0, data);
            EXPECT_EQ(o.result, kRefused);
            EXPECT_EQ(o.status, notSeparated);
        }
        EXPECT_EQ(Call(server, handler, 0, "x\na.txt", -1).result, kRefused);
        EXPECT_EQ(Call(server, handler, 5, "x\na.txt").status,
                  std::string("Error: ") + type + " Block only with CNT 0 allowed");
        const SOutcome tooLong = Call(server, handler, 0, std::string(200, 'x') + "\na.txt");
        EXPECT_EQ(tooLong.result, kRefused);
        EXPECT_NE(tooLong.status.find("200"), std::string::npos);
        EXPECT_EQ(Call(server, handler, 0, "x\n" + std::string(200, 'y')).result, kRefused);
    }
    EXPECT_FALSE(FileExists(base / "x"));

    // 199 bytes each are accepted; a NUL ends a path.
    const std::string dest(199, 'd');
    const SOutcome copied = Call(server, &CRs232Server::CFBlockReceived, 0,
                                 dest + "\na.txt" + std::string(193, '\0'));
    EXPECT_EQ(copied.result, 1);
    EXPECT_EQ(copied.status, "File " + base / "a.txt" + " copied to " + base / dest + "!");
}

TEST(Refusal, DeletePathLength) {
    CTempDir base;
    CRs232Server server;
    server.SetBasePath(base.Path());
    const std::string name(199, 'f');
    base.WriteFile(name, "x");
    EXPECT_EQ(Call(server, &CRs232Server::DFBlockReceived, 0, name + "g").result, kRefused);
    EXPECT_EQ(Call(server, &CRs232Server::DFBlockReceived, 0, name, -3).result, kRefused);
    EXPECT_EQ(Call(server, &CRs232Server::DFBlockReceived, 1, name).status,
              "Error: DF Block only with CNT 0 allowed");
    EXPECT_TRUE(FileExists(base / name));
    EXPECT_EQ(Call(server, &CRs232Server::DFBlockReceived, 0, name).result, 1);
    EXPECT_FALSE(FileExists(base / name));
}

}  // namespace
}  // namespace rs232::test
