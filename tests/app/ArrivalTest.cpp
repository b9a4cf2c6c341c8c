// Serving on arrival, through the headless view's logic with the real server on a
// pseudo-terminal: what is queued when a wake-up comes is served in it, up to its bound.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/ConsoleView.h"
#include "app/ServerDlg.h"
#include "support/Pty.h"
#include "support/TempDir.h"

namespace rs232::test {
namespace {

TEST(Arrival, QueuedBytesAreServedInOneWakeUpUpToItsBound) {
    CTempDir dir;
    std::filesystem::current_path(dir.Path());  // the upload's temp file goes here
    CPty pty;
    dir.WriteFile("rs232-server.ini", "[COMPORT]\nBAUDRATE=115200\n[PORTS]\nCOM5=" + pty.SlavePath() + "\n");
    CSignalWatcher signals;
    CConsoleServerView view(signals);
    CServerDlg dlg(view, "5 " + dir.Path(), dir / "rs232-server");
    dlg.OnInitDialog();
    CRs232Server& server = dlg.Server();
    const auto queue = [&](const Bytes& bytes) {
        pty.Send(bytes);
        const int n = static_cast<int>(bytes.size());
        ASSERT_EQ(server.WaitForInQueue(n, CSerialPort::Clock::now() + 10s), n);
    };

    EXPECT_EQ(dlg.ArrivalFd(), -1);  // the first tick starts the server
    EXPECT_FALSE(dlg.OnArrival());
    dlg.OnTimer(CServerDlg::kTimerId);
    ASSERT_GE(dlg.ArrivalFd(), 0);
    EXPECT_FALSE(dlg.OnArrival());  // woken with nothing queued: left to the next tick

    // A whole upload sent without waiting for the ACKs: one wake-up serves every block.
    Bytes upload = MakeBlock("FT", 0, std::string("up.txt;5"));
    for (const Bytes& block : {MakeBlock("FT", 1, std::string("hello")), MakeBlock("FT", -1, Bytes{})})
        upload.insert(upload.end(), block.begin(), block.end());
    queue(upload);
    EXPECT_TRUE(dlg.OnArrival());
    EXPECT_EQ(pty.Read(3), Bytes(3, ACK));
    EXPECT_EQ(dir.ReadFile("up.txt"), "hello");

    // Line noise, one byte a Poll: a wake-up stops after its bound, the next takes the rest.
    queue(Bytes(CServerDlg::kMaxPollsPerWake + 5, 'x'));
    EXPECT_TRUE(dlg.OnArrival());
    EXPECT_EQ(server.GetInQueue(), 5);
    EXPECT_TRUE(dlg.OnArrival());
    EXPECT_EQ(server.GetInQueue(), 0);
}

}  // namespace
}  // namespace rs232::test
