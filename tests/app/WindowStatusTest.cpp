// The window's status bar, progress and marked lines on Qt's offscreen platform, the real server
// behind it on a pseudo-terminal and the test playing the client.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QStatusBar>
#include <QTest>

#include <filesystem>

#include "app/QtView.h"
#include "app/ServerDlg.h"
#include "support/Process.h"

namespace rs232::test {
namespace {

// Waits, with the window's events running, until the labels in widget show text.
bool Shows(QWidget* widget, const std::string& text) {
    for (const auto deadline = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < deadline;
         QTest::qWait(10))
        for (QLabel* label : widget->findChildren<QLabel*>())
            if (label->isVisible() && label->text().toStdString().find(text) != std::string::npos) return true;
    return false;
}

TEST(WindowStatus, ShowsTheLinkTheTransferAndMarksErrors) {
    static int argc = 1;
    static char name[] = "app_window_status_test", *argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(argc, argv);  // never destroyed: at exit Qt's own globals may be gone
    CTempDir dir;
    std::filesystem::current_path(dir.Path());
    CPty pty;
    CPortLease lease;
    dir.WriteFile("rs232-server.ini", "[PORTS]\nCOM" + std::to_string(lease.Port()) + "=" + pty.SlavePath() + "\n");
    CQtServerView view;
    CServerDlg dlg(view, std::to_string(lease.Port()) + " " + dir.Path(), dir / "rs232-server");
    view.Attach(&dlg);
    dlg.OnInitDialog();
    view.show();
    EXPECT_EQ(view.size(), view.minimumSize());
    EXPECT_GT(view.maximumWidth(), view.minimumWidth());
    EXPECT_TRUE(Shows(view.StatusBar(), pty.SlavePath() + " at 57600 Bd"));
    EXPECT_TRUE(Shows(view.StatusBar(), "waiting for a client"));

    // Half an upload, then its end block short of the size: progress, then a failed request.
    const std::vector<std::pair<Bytes, uint8_t>> exchanges = {
        {{ENQ}, SYN}, {MakeBlock("FT", 0, "up.bin;1000"), ACK}, {MakeBlock("FT", 1, std::string(500, 'x')), ACK}};
    for (const auto& [send, answer] : exchanges) {
        pty.Send(send);
        Bytes got;
        for (int i = 0; i < 2000 && got.empty(); ++i, QTest::qWait(5)) got = pty.Read(1, 5ms);
        ASSERT_EQ(got, Bytes{answer});
    }
    EXPECT_TRUE(Shows(view.ProgressBar()->parentWidget(), "Receiving up.bin: 500 of 1000 bytes"));
    EXPECT_EQ(view.ProgressBar()->value(), 50);
    EXPECT_TRUE(Shows(view.StatusBar(), "serving a request"));
    pty.Send(MakeBlock("FT", -1, ""));
    EXPECT_TRUE(Shows(view.StatusBar(), "0 served, 1 failed"));
    EXPECT_FALSE(view.ProgressBar()->isVisible());
    QListWidget* list = view.ListWidget();
    QListWidgetItem* last = list->item(list->count() - 1);
    EXPECT_NE(last->text().toStdString().find("Size ERROR"), std::string::npos);
    EXPECT_NE(last->foreground(), list->item(0)->foreground());
    view.close();
}

}  // namespace
}  // namespace rs232::test
