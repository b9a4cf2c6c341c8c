// The program's entry: checks the command line and the one-instance-per-port rule, then runs
// the main window until it closes.
#pragma once

#include <string>

namespace rs232 {

// What start-up needs of the chosen mode (window or headless).
class IAppShell {
public:
    virtual ~IAppShell() = default;
    // A refusal: a message with an OK button (headless: a line on stderr).
    virtual void MessageBox(const std::string& text) = 0;
    // Builds the main window for the command line, runs it until it closes and returns the
    // exit status (0 normal close, 1 failed start or directory error).
    virtual int RunMainWindow(const std::string& commandLine) = 0;
};

class CServerApp {
public:
    explicit CServerApp(IAppShell& shell) : m_shell(shell) {}
    virtual ~CServerApp() = default;

    // Returns the exit status: 1 after a refusal, otherwise the main window's. A refusal happens
    // before anything is created: no directory, settings file, log line or port.
    int InitInstance(const std::string& commandLine);

private:
    IAppShell& m_shell;
};

// Name of the single-instance marker of a port: "Zelvo Quillet RS232 %d".
std::string InstanceMarkerName(int port);

// Claims the marker of the port: an abstract Unix socket bound to the marker name, held until
// the process ends (the kernel releases it then, however the process ends). Returns false only
// when another process holds it; any other failure lets the start go on.
bool ClaimInstanceMarker(int port);

}  // namespace rs232
