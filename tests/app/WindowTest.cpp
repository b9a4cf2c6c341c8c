// The window on Qt's offscreen platform, driven in this process with the real server behind it on
// a pseudo-terminal; a start that fails, headless and in the window; and the executable, which
// maps Qt only when it opens its window.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <array>

#include <filesystem>
#include <thread>

#include "app/QtView.h"
#include "app/ServerDlg.h"
#include "support/Process.h"

namespace rs232::test {
namespace {

// One application for every test here, never destroyed: at exit Qt's own globals may be gone.
void StartQt() {
    static int argc = 1;
    static char name[] = "app_window_test", *argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!QApplication::instance()) new QApplication(argc, argv);
}

std::string Row(QListWidget* list, int row) { return WithoutStamp(list->item(row)->text().toStdString()); }

// Waits, with the window's events running, until a visible label in widget shows text.
bool Shows(QWidget* widget, const std::string& text) {
    for (const auto deadline = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < deadline;
         QTest::qWait(10))
        for (QLabel* label : widget->findChildren<QLabel*>())
            if (label->isVisible() && label->text().toStdString().find(text) != std::string::npos) return true;
    return false;
}

TEST(Window, StatusProgressMarkedErrorsTrimmingAndKeys) {
    StartQt();
    CTempDir dir;
    // The first event line goes to a date-named file in the working directory.
    std::filesystem::current_path(dir.Path());
    CPty pty;
    CPortLease lease;
    const int port = lease.Port();
    dir.WriteFile("rs232-server.ini", "[PORTS]\nCOM" + std::to_string(port) + "=" + pty.SlavePath() + "\n");
    const std::string commandLine = std::to_string(port) + " " + dir.Path();
    // (count, current row, first row, last row) of the list.
    auto state = [](QListWidget* l) {
        return std::tuple(l->count(), l->currentRow(), Row(l, 0).substr(0, 12), Row(l, l->count() - 1));
    };
    CQtServerView view;
    CServerDlg dlg(view, commandLine, dir / "rs232-server");
    view.Attach(&dlg);
    dlg.OnInitDialog();
    view.show();
    QListWidget* list = view.ListWidget();
    EXPECT_EQ(view.windowTitle().toStdString(), "RS232 Server for Quillet Solution Port " + std::to_string(port));
    // The first tick starts the server.
    EXPECT_TRUE(Shows(view.StatusBar(), pty.SlavePath() + " at 57600 Bd"));
    EXPECT_TRUE(Shows(view.StatusBar(), "waiting for a client"));
    EXPECT_EQ(state(list), std::tuple(9, 8, std::string("Command line"), "Device is: " + pty.SlavePath()));

    // Half an upload, then its end block short of the size: progress, then a failed request.
    for (const auto& [send, answer] : std::vector<std::pair<Bytes, uint8_t>>{
             {{ENQ}, SYN}, {MakeBlock("FT", 0, "up.bin;1000"), ACK}, {MakeBlock("FT", 1, std::string(500, 'x')), ACK}}) {
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
    EXPECT_NE(Row(list, list->count() - 1).find("Size ERROR"), std::string::npos);
    EXPECT_NE(list->item(list->count() - 1)->foreground(), list->item(0)->foreground());

    // The window's route: 300 -> 301 -> 252, the last line selected.
    for (int i = list->count(); i <= 300; ++i) dlg.LogMessage("line " + std::to_string(i));
    EXPECT_EQ(state(list), std::tuple(301, 300, std::string("Command line"), std::string("line 300")));
    dlg.LogMessage("line 301");
    EXPECT_EQ(state(list), std::tuple(252, 251, std::string("line 50"), std::string("line 301")));
    // The server's lines take the same route.
    for (int i = 0; i < 68; ++i) dlg.Server().LogMessage("server line");
    EXPECT_EQ(state(list), std::tuple(270, 269, std::string("line 100"), std::string("server line")));
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
    EXPECT_EQ(LogLines(dir / "LOG/", port).back(), "Program closed !");
}

// A missing device, and a pseudo-terminal locked here as another program holding the port would:
// a server in another process names this one as the holder, one in this process finds no other.
TEST(StartFailure, TheCauseReachesTheLogStderrAndTheWindowsMessageBox) {
    StartQt();
    CPty pty;
    const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    CTempDir dir;
    std::filesystem::current_path(dir.Path());
    std::filesystem::create_directory(dir / "window");
    const std::string missing = "Serial port " + dir / "none" + ": No such file or directory";
    const std::string busy =
        "Serial port " + pty.SlavePath() + ": Device or resource busy, in use by another program";
    const std::string holder = " (PID " + std::to_string(getpid()) + ")";
    const std::vector<std::array<std::string, 3>> cases = {  // device, cause headless, in here
        {dir / "none", missing, missing}, {pty.SlavePath(), busy + holder, busy}};
    for (const auto& [device, headless, inHere] : cases) {
        CServer server(dir, device);
        EXPECT_EQ(server.Wait(), 1);
        EXPECT_EQ(server.Err(), headless + "\n");
        const auto lines = LogLines(dir / "LOG/", server.Port());
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
                  (std::vector<std::string>{"Start Server Error -2", headless, "Program closed !"}));

        dir.WriteFile("rs232-server.ini", "[PORTS]\nCOM4=" + device + "\n");
        CQtServerView view;
        CServerDlg dlg(view, "4 " + dir / "window/", dir / "rs232-server");
        std::vector<std::string> shown;  // each box's text, and whether the window was still up
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                    shown.push_back(box->text().toStdString() +
                                    (view.isVisible() ? "" : " (late)"));
                    box->accept();
                }
        });
        watch.start(10);
        view.DoModal(dlg);
        EXPECT_EQ(shown, std::vector<std::string>{inHere});
        EXPECT_EQ(dlg.ExitStatus(), 1);
        EXPECT_TRUE(Contains(LogLines(dir / "window/LOG/", 4), inHere));
    }
    ::close(fd);
}

// Headless, or with a display but no window module beside it, the process holds no Qt library.
TEST(Window, QtIsMappedOnlyWithADisplayAndTheModule) {
    const std::tuple<bool, bool, bool, const char*> cases[] = {
        // display (QT_QPA_PLATFORM set), module beside the executable, Qt mapped, on stderr
        {false, true, false, ""}, {true, false, false, "running headless"}, {true, true, true, ""}};
    for (const auto& [display, module, qtMapped, err] : cases) {
        SCOPED_TRACE(testing::PrintToString(std::tuple(display, module)));
        CTempDir dir;
        CPty pty;
        CPortLease lease;
        const std::string n = std::to_string(lease.Port());
        InstallServer(dir);
        if (module)
            std::filesystem::copy_file(std::filesystem::path(RS232_SERVER_EXE).parent_path() / "rs232-server-window.so",
                                       dir / "rs232-server-window.so");
        CServer server(dir, lease.Port(), {{n}, "[PORTS]\nCOM" + n + "=" + pty.SlavePath() + "\n", display ? std::map<std::string, std::string>{{"QT_QPA_PLATFORM", "offscreen"}} : std::map<std::string, std::string>{}});
        // The window's list is not on stdout: the log file shows the start.
        bool started = false;
        for (int i = 0; i < 600 && !(started = Contains(LogLines(dir / "LOG/", lease.Port()), "Rs232 Server started ...")); ++i)
            std::this_thread::sleep_for(50ms);
        ASSERT_TRUE(started) << server.Out() << server.Err();
        EXPECT_EQ(ReadWholeFile("/proc/" + std::to_string(server.Pid()) + "/maps").find("libQt") != std::string::npos, qtMapped);
        EXPECT_NE(server.Err().find(err), std::string::npos) << server.Err();
        EXPECT_EQ(server.Stop(SIGTERM), 0) << server.Err();
    }
}

}  // namespace
}  // namespace rs232::test
