// rs232-server <port 1..16> [<base path>]
// A window when DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM is set, otherwise headless.
#include <QApplication>

#include <cstdlib>
#include <string>

#include "app/CommandLine.h"
#include "app/ConsoleView.h"
#include "app/QtView.h"
#include "app/ServerApp.h"
#include "app/SignalWatcher.h"

namespace {

bool IsSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

}  // namespace

int main(int argc, char** argv) {
    // Taken before Qt removes the options it knows from argv.
    const std::string commandLine = rs232::JoinArguments(argc, argv);

    if (IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY") || IsSet("QT_QPA_PLATFORM")) {
        rs232::CSignalWatcher signalWatcher;  // before Qt starts any thread
        QApplication app(argc, argv);
        QApplication::setApplicationName(QStringLiteral("rs232-server"));
        QApplication::setApplicationVersion(QStringLiteral(RS232_VERSION));
        QApplication::setWindowIcon(rs232::ProgramIcon());
        QApplication::setQuitOnLastWindowClosed(false);
        rs232::CQtShell shell(signalWatcher);
        rs232::CServerApp server(shell);
        return server.InitInstance(commandLine);
    }

    rs232::CConsoleShell shell;
    rs232::CServerApp server(shell);
    return server.InitInstance(commandLine);
}
