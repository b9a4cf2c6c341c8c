// The window on Qt's offscreen platform, driven in this process over a pseudo-terminal.
#include <gtest/gtest.h>

#include <QApplication>
#include <QListWidget>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

#include "ServerProcess.h"
#include "app/QtView.h"
#include "app/ServerDlg.h"
#include "link/Block.h"
#include "support/Pty.h"

namespace rs232::test {
namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "app_window_test";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never destroyed: at exit Qt's own globals may already be gone.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        QTest::qWait(10);
    }
    return true;
}

// For a thread other than the window's: polls the log file the window writes.
bool WaitForLogLine(const std::string& logDir, const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (true) {
        const auto lines = LogLines(logDir, 4);
        if (std::find(lines.begin(), lines.end(), text) != lines.end()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
}

std::string Text(QListWidget* list, int row) {
    return WithoutStamp(list->item(row)->text().toStdString());
}

struct SWindowSetup {
    CTempDir dir;
    CPty pty;
    SWindowSetup() {
        App();
        dir.WriteFile("rs232-server.ini", "[PORTS]\nCOM4=" + pty.SlavePath() + "\n");
    }
    std::string CommandLine() const { return "4 " + dir.Path(); }
    std::string Exe() const { return dir / "rs232-server"; }
};

TEST(Window, TitleListTrimmingAndKeys) {
    SWindowSetup s;
    CQtServerView view;
    CServerDlg dlg(view, s.CommandLine(), s.Exe());
    view.Attach(&dlg);
    dlg.OnInitDialog();
    view.show();
    QListWidget* list = view.ListWidget();

    EXPECT_EQ(view.windowTitle().toStdString(), "RS232 Server for Quillet Solution Port 4");
    EXPECT_EQ(view.minimumSize(), view.maximumSize());
    EXPECT_FALSE(view.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(view.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(list->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    ASSERT_EQ(list->count(), 7);
    EXPECT_EQ(Text(list, 0), "Command line is: >" + s.CommandLine() + "<");
    EXPECT_EQ(list->currentRow(), 6);
    ASSERT_TRUE(WaitFor([&] { return list->count() == 8; }));
    EXPECT_EQ(Text(list, 7), "Rs232 Server started ...");
    EXPECT_EQ(list->currentRow(), 7);

    // The window's route: 300 -> 301 -> 252, the last line selected.
    for (int i = list->count(); i < 300; ++i) dlg.LogMessage("line " + std::to_string(i));
    ASSERT_EQ(list->count(), 300);
    dlg.LogMessage("line 300");
    EXPECT_EQ(list->count(), 301);
    const std::string fiftyFirst = Text(list, 50);
    dlg.LogMessage("line 301");
    EXPECT_EQ(list->count(), 252);
    EXPECT_EQ(Text(list, 0), fiftyFirst);
    EXPECT_EQ(Text(list, 251), "line 301");
    EXPECT_EQ(list->currentRow(), 251);
    // The server's route never trims; the window's next line removes 50 only.
    for (int i = 0; i < 68; ++i) dlg.Server().LogMessage("server line");
    EXPECT_EQ(list->count(), 320);
    EXPECT_EQ(list->currentRow(), 319);
    dlg.LogMessage("after the server's lines");
    EXPECT_EQ(list->count(), 271);

    // Escape and Enter never close the window.
    QTest::keyClick(list, Qt::Key_Escape);
    QTest::keyClick(list, Qt::Key_Return);
    QTest::keyClick(&view, Qt::Key_Escape);
    QTest::qWait(100);
    EXPECT_TRUE(view.isVisible());
    EXPECT_FALSE(dlg.IsDestroyed());
    EXPECT_EQ(Text(list, list->count() - 1), "after the server's lines");

    // The close button does.
    view.close();
    EXPECT_TRUE(dlg.IsDestroyed());
    EXPECT_FALSE(view.isVisible());
    EXPECT_EQ(Text(list, list->count() - 2), "Server stopped !");
    EXPECT_EQ(Text(list, list->count() - 1), "Program closed !");
    EXPECT_EQ(dlg.ExitStatus(), 0);
    EXPECT_EQ(LogLines(s.dir / "LOG/", 4).back(), "Program closed !");
}

TEST(Window, ClosingDuringADownloadStopsItAtItsNextBlock) {
    SWindowSetup s;
    s.dir.WriteFile("big.bin", std::string(20000, 'y'));
    CQtServerView view;
    CServerDlg dlg(view, s.CommandLine(), s.Exe());

    std::atomic<bool> endBlockSeen{false};
    auto closeWindow = [&view] {
        QMetaObject::invokeMethod(&view, [&view] { view.close(); }, Qt::QueuedConnection);
    };
    auto playClient = [&] {
        // The port opens at the first tick, and the server discards what follows ENQ until its
        // tick is over: each step waits for the server's line in the log file.
        const std::string logDir = s.dir / "LOG/";
        ASSERT_TRUE(WaitForLogLine(logDir, "Rs232 Server started ..."));
        s.pty.Send(ENQ);
        ASSERT_EQ(s.pty.Read(1), Bytes{SYN});
        ASSERT_TRUE(WaitForLogLine(logDir, "Client connected"));
        s.pty.Send(MakeBlock("RF", 0, std::string("big.bin")));
        ASSERT_EQ(s.pty.Read(1), Bytes{ACK});
        SReadBlock block;
        for (long expected = 0; expected <= 2; ++expected) {
            ASSERT_TRUE(s.pty.ReadBlock(block));
            ASSERT_EQ(block.cnt, expected);
            if (expected == 2) closeWindow();
            s.pty.Send(ACK);
        }
        while (s.pty.ReadBlock(block, 300ms))
            if (block.cnt == -1) endBlockSeen = true;
    };
    std::thread client([&] {
        playClient();
        closeWindow();  // a failed client must not leave the window open (a second close is ignored)
    });
    view.DoModal(dlg);
    client.join();

    EXPECT_TRUE(dlg.IsDestroyed());
    EXPECT_FALSE(endBlockSeen);
    const auto lines = LogLines(s.dir / "LOG/", 4);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"Server stopped !", "Program closed !",
                                        "Error -105 (Pos 2) while sending SF Block!"}));
    QListWidget* list = view.ListWidget();
    EXPECT_EQ(Text(list, list->count() - 1), "Program closed !");
}

}  // namespace
}  // namespace rs232::test
