// Runs the real rs232-server, headless, from its own copy in a temp directory (so the settings
// file beside it is the test's own), with stdout and stderr captured.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace rs232::test {

using namespace std::chrono_literals;

// Copies the built executable into dir; returns the copy's path.
std::string InstallServer(const CTempDir& dir);

// "HH:MM:SS text" -> "text"; other lines unchanged.
std::string WithoutStamp(const std::string& line);

// The event lines (stamps removed) of every LOG<port>_*.LOG file in logDir, oldest file first.
std::vector<std::string> LogLines(const std::string& logDir, int port);

// Names in dir, sorted.
std::vector<std::string> ListDir(const std::string& dir);

class CServerProcess {
public:
    // Starts <dir>/rs232-server (installed if missing) with these arguments in dir.
    CServerProcess(const CTempDir& dir, const std::vector<std::string>& args);
    ~CServerProcess();  // kills a process still running
    CServerProcess(const CServerProcess&) = delete;
    CServerProcess& operator=(const CServerProcess&) = delete;

    // Waits until stdout holds an event line whose text (after the stamp) equals text.
    bool WaitForLine(const std::string& text, std::chrono::milliseconds timeout = 30s);
    // Waits until stderr holds text.
    bool WaitForError(const std::string& text, std::chrono::milliseconds timeout = 30s);
    // Exit status, or -1 when the process has not ended within the time-out.
    int WaitExit(std::chrono::milliseconds timeout = 30s);
    void Signal(int signal);

    std::vector<std::string> Lines() const;  // stdout event lines, stamps removed
    const std::string& Stdout() const { return m_out; }
    const std::string& Stderr() const { return m_err; }

private:
    // Reads what is available within timeout; false once both pipes are closed.
    bool Pump(std::chrono::milliseconds timeout);

    pid_t m_pid = -1;
    int m_outFd = -1;
    int m_errFd = -1;
    int m_status = -1;
    std::string m_out;
    std::string m_err;
};

// Runs the server to its end and returns the exit status (-1 on time-out).
int RunServer(const CTempDir& dir, const std::vector<std::string>& args, std::string* out = nullptr,
              std::string* err = nullptr);

}  // namespace rs232::test
