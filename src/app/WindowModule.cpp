#include "app/WindowModule.h"

#include <QApplication>

#include "app/QtView.h"
#include "app/ServerApp.h"

extern "C" __attribute__((visibility("default"))) int rs232_window_main(
    int argc, char** argv, const char* commandLine, rs232::CSignalWatcher* signalWatcher) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("rs232-server"));
    QApplication::setApplicationVersion(QStringLiteral(RS232_VERSION));
    QApplication::setWindowIcon(rs232::ProgramIcon());
    QApplication::setQuitOnLastWindowClosed(false);
    rs232::CQtShell shell(*signalWatcher);
    rs232::CServerApp server(shell);
    return server.InitInstance(commandLine);
}
