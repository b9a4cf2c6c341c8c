// A start on a missing and on a busy device: the operator learns the device and the system's
// reason in the log, on stderr when headless, and in a message box when there is a window.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QApplication>
#include <QListWidget>
#include <QMessageBox>
#include <QTimer>

#include <filesystem>

#include "app/QtView.h"
#include "app/ServerDlg.h"
#include "support/Process.h"

namespace rs232::test {
namespace {

// A pseudo-terminal that this process holds locked, as another program holding the port would.
struct SBusyDevice {
    CPty pty;
    int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    SBusyDevice() { EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0); }
    ~SBusyDevice() { ::close(fd); }
};

struct SCase {
    std::string device;
    std::string cause;  // the line naming device and reason
};

// holder: the PID a server in another process finds; none when the server runs in here.
std::vector<SCase> Cases(const CTempDir& dir, SBusyDevice& busy, const std::string& holder) {
    const std::string slave = busy.pty.SlavePath();
    return {{dir / "no-such-device",
             "Serial port " + dir / "no-such-device" + ": No such file or directory"},
            {slave,
             "Serial port " + slave + ": Device or resource busy, in use by another program" +
                 holder}};
}

TEST(StartFailure, HeadlessLogsTheCauseAndPrintsItOnStderr) {
    SBusyDevice busy;
    CTempDir dir;
    for (const SCase& c : Cases(dir, busy, " (PID " + std::to_string(getpid()) + ")")) {
        SCOPED_TRACE(c.cause);
        CServer server(dir, c.device);
        EXPECT_EQ(server.Wait(), 1);
        EXPECT_EQ(server.Err(), c.cause + "\n");
        EXPECT_TRUE(Contains(server.Lines(), "Com port is: " + std::to_string(server.Port()) +
                                                 " (" + c.device + ")"));
        const std::vector<std::string> tail{"Start Server Error -2", c.cause, "Program closed !"};
        const auto lines = LogLines(dir / "LOG/", server.Port());
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()), tail);
    }
}

TEST(StartFailure, WindowShowsTheCauseBeforeItCloses) {
    static int argc = 1;
    static char name[] = "app_start_failure_test", *argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(argc, argv);  // never destroyed: at exit Qt's own globals may be gone
    SBusyDevice busy;
    CTempDir dir;
    std::filesystem::current_path(dir.Path());
    for (const SCase& c : Cases(dir, busy, "")) {
        SCOPED_TRACE(c.cause);
        dir.WriteFile("rs232-server.ini", "[PORTS]\nCOM4=" + c.device + "\n");
        CQtServerView view;
        CServerDlg dlg(view, "4 " + dir.Path(), dir / "rs232-server");
        std::vector<std::string> shown;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                    // The window is still there while the box waits.
                    shown.push_back(box->text().toStdString() +
                                    (view.isVisible() ? "" : " (window gone)"));
                    box->accept();
                }
        });
        watch.start(10);
        view.DoModal(dlg);
        EXPECT_EQ(shown, std::vector<std::string>{c.cause});
        EXPECT_EQ(dlg.ExitStatus(), 1);
        EXPECT_TRUE(Contains(LogLines(dir / "LOG/", 4), c.cause));
    }
}

}  // namespace
}  // namespace rs232::test
