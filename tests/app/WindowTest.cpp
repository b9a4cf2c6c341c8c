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
    // (count, current row, first row, last row) of the list.
    auto state = [](QListWidget* l) {
        return std::tuple(l->count(), l->currentRow(), Row(l, 0).substr(0, 12), Row(l, l->count() - 1));
    };
    {
        // Closed before its first tick: the server never ran, so it is not stopped either.
        CQtServerView early;
        CServerDlg dlg(early, commandLine, dir / "rs232-server");
        early.Attach(&dlg);
        dlg.OnInitDialog();
        early.show();
        early.close();
        EXPECT_TRUE(dlg.IsDestroyed() && dlg.ExitStatus() == 0);
        EXPECT_EQ(state(early.ListWidget()), std::tuple(8, 7, std::string("Command line"), std::string("Program closed !")));
    }
    CQtServerView view;
    CServerDlg dlg(view, commandLine, dir / "rs232-server");
    view.Attach(&dlg);
    dlg.OnInitDialog();
    view.show();
    QListWidget* list = view.ListWidget();
    EXPECT_EQ(view.windowTitle().toStdString(), "RS232 Server for Quillet Solution Port 4");
    // The first tick starts the server.
    for (const auto end = std::chrono::steady_clock::now() + 20s; list->count() < 8 && std::chrono::steady_clock::now() < end;)
        QTest::qWait(10);
    EXPECT_EQ(state(list), std::tuple(8, 7, std::string("Command line"), std::string("Rs232 Server started ...")));

    // The window's route: 300 -> 301 -> 252, the last line selected.
    for (int i = list->count(); i <= 300; ++i) dlg.LogMessage("line " + std::to_string(i));
    EXPECT_EQ(state(list), std::tuple(301, 300, std::string("Command line"), std::string("line 300")));
    dlg.LogMessage("line 301");
    EXPECT_EQ(state(list), std::tuple(252, 251, std::string("line 50"), std::string("line 301")));
    // The server's route never trims; the window's next line removes 50 only.
    for (int i = 0; i < 68; ++i) dlg.Server().LogMessage("server line");
    EXPECT_EQ(state(list), std::tuple(320, 319, std::string("line 50"), std::string("server line")));
    dlg.LogMessage("after the server's lines");
    EXPECT_EQ(state(list), std::tuple(271, 270, std::string("line 100"), std::string("after the server's lines")));

    // Escape and Enter never close the window; the close button does.
    for (QWidget* w : {static_cast<QWidget*>(list), static_cast<QWidget*>(&view)})
        for (auto key : {Qt::Key_Escape, Qt::Key_Return}) QTest::keyClick(w, key);
    QTest::qWait(100);
    EXPECT_TRUE(view.isVisible() && !dlg.IsDestroyed());
    view.close();
    EXPECT_TRUE(dlg.IsDestroyed() && !view.isVisible() && dlg.ExitStatus() == 0);
    EXPECT_EQ(Row(list, list->count() - 2) + "|" + Row(list, list->count() - 1), "Server stopped !|Program closed !");
    EXPECT_EQ(LogLines(dir / "LOG/", 4).back(), "Program closed !");
}

}  // namespace
}  // namespace rs232::test
