// rs232-server.exe <port 1..99> [<base path>]
// A console program: event lines to stdout, messages to stderr, Ctrl+C closes it as the close
// button would (RS232_HEADLESS=1 is how a scheduled task runs it). The arguments arrive in the
// system's ANSI code page, as every path the program handles.
#include <string>

#include "app/CommandLine.h"
#include "app/ConsoleView.h"
#include "app/ServerApp.h"

int main(int argc, char** argv) {
    const std::string commandLine = rs232::JoinArguments(argc, argv);
    rs232::CConsoleShell shell;
    rs232::CServerApp server(shell);
    return server.InitInstance(commandLine);
}
