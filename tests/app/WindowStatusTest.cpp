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

// The labels' texts in a widget, joined by " | ".
std::string Texts(QWidget* widget) {
    QStringList texts;
    for (QLabel* label : widget->findChildren<QLabel*>()) texts << label->text();
    return texts.join(" | ").toStdString();
}

// Waits, with the window's events running, until cond holds.
template <class F>
bool Until(F cond) {
    for (const auto deadline = std::chrono::steady_clock::now() + 20s; !cond();)
        if (std::chrono::steady_clock::now() > deadline) return false; else QTest::qWait(10);
    return true;
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
    ASSERT_TRUE(Until([&] { return Texts(view.StatusBar()).find("waiting for a client") != std::string::npos; }))
        << Texts(view.StatusBar());
    EXPECT_NE(Texts(view.StatusBar()).find(pty.SlavePath() + " at 57600 Bd"), std::string::npos);
    EXPECT_FALSE(view.ProgressBar()->isVisible());

    // Half an upload: the transfer shows while the request is open.
    Bytes got;
    auto exchange = [&](const Bytes& send, uint8_t answer) {
        pty.Send(send);
        return Until([&] { return !(got = pty.Read(1, 5ms)).empty(); }) && got == Bytes{answer};
    };
    ASSERT_TRUE(exchange({ENQ}, SYN));
    ASSERT_TRUE(exchange(MakeBlock("FT", 0, "up.bin;1000"), ACK));
    ASSERT_TRUE(exchange(MakeBlock("FT", 1, std::string(500, 'x')), ACK));
    ASSERT_TRUE(Until([&] { return view.ProgressBar()->isVisible() && view.ProgressBar()->value() == 50; }));
    EXPECT_NE(Texts(view.ProgressBar()->parentWidget()).find("Receiving up.bin: 500 of 1000 bytes"), std::string::npos);
    EXPECT_NE(Texts(view.StatusBar()).find("serving a request"), std::string::npos);

    // Ended short of its size: a failed request, an error line that looks unlike the others.
    ASSERT_TRUE(exchange(MakeBlock("FT", -1, ""), ACK));
    ASSERT_TRUE(Until([&] { return !view.ProgressBar()->isVisible(); }));
    EXPECT_NE(Texts(view.StatusBar()).find("0 served, 1 failed"), std::string::npos);
    QListWidget* list = view.ListWidget();
    QListWidgetItem* last = list->item(list->count() - 1);
    EXPECT_NE(last->text().toStdString().find("Size ERROR"), std::string::npos);
    EXPECT_NE(last->foreground(), list->item(0)->foreground());
    EXPECT_EQ(last->toolTip(), last->text());
    view.close();
}

}  // namespace
}  // namespace rs232::test
