// The window on Qt's offscreen platform, driven in this process; the real server behind it on a
// pseudo-terminal.
#include <gtest/gtest.h>

#include <QApplication>

#include <filesystem>
#include <QListWidget>
#include <QTest>

#include "app/QtView.h"
#include "app/ServerDlg.h"
#include "support/Process.h"

namespace rs232::test {
namespace {

std::string Row(QListWidget* list, int row) { return WithoutStamp(list->item(row)->text().toStdString()); }

TEST(Window, TitleListTrimmingAndKeys) {
    static int argc = 1;
    static char name[] = "app_window_test", *argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(argc, argv);  // never destroyed: at exit Qt's own globals may be gone
    CTempDir dir;
    // The first event line goes to a date-named file in the working directory.
    std::filesystem::current_path(dir.Path());
    CPty pty;
    dir.WriteFile("rs232-server.ini", "[PORTS]\nCOM4=" + pty.SlavePath() + "\n");
    const std::string commandLine = "4 " + dir.Path();
    {
        // Closed before its first tick: the server never ran, so it is not stopped either.
        CQtServerView early;
        CServerDlg dlg(early, commandLine, dir / "rs232-server");
        early.Attach(&dlg);
        dlg.OnInitDialog();
        early.show();
        early.close();
        ASSERT_TRUE(dlg.IsDestroyed());
        ASSERT_EQ(early.ListWidget()->count(), 8);
        EXPECT_EQ(Row(early.ListWidget(), 7), "Program closed !");
        EXPECT_EQ(dlg.ExitStatus(), 0);
    }
    CQtServerView view;
    CServerDlg dlg(view, commandLine, dir / "rs232-server");
    view.Attach(&dlg);
    dlg.OnInitDialog();
    view.show();
    QListWidget* list = view.ListWidget();

    EXPECT_EQ(view.windowTitle().toStdString(), "RS232 Server for Quillet Solution Port 4");
    ASSERT_EQ(list->count(), 7);
    EXPECT_EQ(Row(list, 0), "Command line is: >" + commandLine + "<");
    EXPECT_EQ(list->currentRow(), 6);
    // The first tick starts the server.
    for (const auto deadline = std::chrono::steady_clock::now() + 20s;
         list->count() < 8 && std::chrono::steady_clock::now() < deadline;)
        QTest::qWait(10);
    ASSERT_EQ(list->count(), 8);
    EXPECT_EQ(Row(list, 7), "Rs232 Server started ...");
    EXPECT_EQ(list->currentRow(), 7);

    // The window's route: 300 -> 301 -> 252, the last line selected.
    for (int i = list->count(); i < 300; ++i) dlg.LogMessage("line " + std::to_string(i));
    ASSERT_EQ(list->count(), 300);
    dlg.LogMessage("line 300");
    EXPECT_EQ(list->count(), 301);
    const std::string fiftyFirst = Row(list, 50);
    dlg.LogMessage("line 301");
    EXPECT_EQ(list->count(), 252);
    EXPECT_EQ(Row(list, 0), fiftyFirst);
    EXPECT_EQ(Row(list, 251), "line 301");
    EXPECT_EQ(list->currentRow(), 251);
    // The server's route never trims; the window's next line removes 50 only.
    for (int i = 0; i < 68; ++i) dlg.Server().LogMessage("server line");
    EXPECT_EQ(list->count(), 320);
    EXPECT_EQ(list->currentRow(), 319);
    dlg.LogMessage("after the server's lines");
    EXPECT_EQ(list->count(), 271);

    // Escape and Enter never close the window.
    for (QWidget* w : {static_cast<QWidget*>(list), static_cast<QWidget*>(&view)})
        for (auto key : {Qt::Key_Escape, Qt::Key_Return}) QTest::keyClick(w, key);
    QTest::qWait(100);
    EXPECT_TRUE(view.isVisible());
    EXPECT_FALSE(dlg.IsDestroyed());
    EXPECT_EQ(Row(list, list->count() - 1), "after the server's lines");

    // The close button does.
    view.close();
    EXPECT_TRUE(dlg.IsDestroyed());
    EXPECT_FALSE(view.isVisible());
    EXPECT_EQ(Row(list, list->count() - 2) + "|" + Row(list, list->count() - 1), "Server stopped !|Program closed !");
    EXPECT_EQ(dlg.ExitStatus(), 0);
    EXPECT_EQ(LogLines(dir / "LOG/", 4).back(), "Program closed !");
}

}  // namespace
}  // namespace rs232::test
