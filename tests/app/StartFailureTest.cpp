// A start on a missing and on a busy device: the operator learns the device and the system's
// reason in the log, on stderr when headless, and in a message box when there is a window.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <filesystem>

#include "app/QtView.h"
#include "app/ServerDlg.h"
#include "support/Process.h"

namespace rs232::test {
namespace {

// {device, the line naming it and the reason}: a missing device, and a pseudo-terminal locked
// here as another program holding the port would; holder: the PID a server in another process
// names for it (a server in this process finds no other holder).
struct SDevices {
    CPty pty;
    int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    SDevices() { EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0); }
    ~SDevices() { ::close(fd); }
    std::vector<std::pair<std::string, std::string>> Cases(const CTempDir& dir,
                                                           const std::string& holder) {
        const std::string busy = ": Device or resource busy, in use by another program";
        return {{dir / "none", "Serial port " + dir / "none" + ": No such file or directory"},
                {pty.SlavePath(), "Serial port " + pty.SlavePath() + busy + holder}};
    }
};

TEST(StartFailure, HeadlessLogsTheCauseAndPrintsItOnStderr) {
    SDevices devices;
    CTempDir dir;
    const std::string holder = " (PID " + std::to_string(getpid()) + ")";
    for (const auto& [device, cause] : devices.Cases(dir, holder)) {
        CServer server(dir, device);
        EXPECT_EQ(server.Wait(), 1);
        EXPECT_EQ(server.Err(), cause + "\n");
        const auto lines = LogLines(dir / "LOG/", server.Port());
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
                  (std::vector<std::string>{"Start Server Error -2", cause, "Program closed !"}));
    }
}

TEST(StartFailure, WindowShowsTheCauseBeforeItCloses) {
    static int argc = 1;
    static char name[] = "app_start_failure_test", *argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(argc, argv);  // never destroyed: at exit Qt's own globals may be gone
    SDevices devices;
    CTempDir dir;
    std::filesystem::current_path(dir.Path());
    for (const auto& [device, cause] : devices.Cases(dir, "")) {
        dir.WriteFile("rs232-server.ini", "[PORTS]\nCOM4=" + device + "\n");
        CQtServerView view;
        CServerDlg dlg(view, "4 " + dir.Path(), dir / "rs232-server");
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
        EXPECT_EQ(shown, std::vector<std::string>{cause});
        EXPECT_EQ(dlg.ExitStatus(), 1);
        EXPECT_TRUE(Contains(LogLines(dir / "LOG/", 4), cause));
    }
}

}  // namespace
}  // namespace rs232::test
