// A start on a missing and on a busy device: the operator learns the device and the system's
// reason in the log, on stderr when headless, and in a message box when there is a window.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <array>
#include <filesystem>

#include "app/QtView.h"
#include "app/ServerDlg.h"
#include "support/Process.h"

namespace rs232::test {
namespace {

// A missing device, and a pseudo-terminal locked here as another program holding the port would:
// a server in another process names this one as the holder, one in this process finds no other.
TEST(StartFailure, TheCauseReachesTheLogStderrAndTheWindowsMessageBox) {
    static int argc = 1;
    static char name[] = "app_start_failure_test", *argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(argc, argv);  // never destroyed: at exit Qt's own globals may be gone
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

}  // namespace
}  // namespace rs232::test
