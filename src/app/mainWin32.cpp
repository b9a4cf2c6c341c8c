// rs232-server.exe <port 1..99> [<base path>]
// The window, or with RS232_HEADLESS=1 no window: event lines to stdout, messages to stderr.
// A console program either way, so that Ctrl+C reaches it (it closes as the close button does).
// The arguments arrive in the system's ANSI code page, as every path the program handles.
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/CommandLine.h"
#include "app/ConsoleView.h"
#include "app/ServerApp.h"
#include "app/WindowWin32.h"
#include "platform/FileLimits.h"

int main(int argc, char** argv) {
    const std::string commandLine = rs232::JoinArguments(argc, argv);
    rs232::IgnoreFileSizeSignal();
    const char* headless = std::getenv("RS232_HEADLESS");
    if (headless && std::strcmp(headless, "1") == 0) {
        rs232::CConsoleShell shell;
        rs232::CServerApp server(shell);
        return server.InitInstance(commandLine);
    }
    rs232::CWin32Shell shell;
    rs232::CServerApp server(shell);
    return server.InitInstance(commandLine);
}
