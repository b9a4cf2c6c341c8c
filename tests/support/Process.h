// The real programs run as child processes, and the server port numbers they need.
//
// Port numbers are machine-wide (one server per port), so a test holds a CPortLease on every port
// it starts a server on, for as long as the server may run. A lease is an abstract Unix socket per
// port, named after it and closed on exec: it goes with the process however that ends, and no
// child inherits it. A test takes all its ports in one lease, so two tests can never each hold a
// port the other waits for.
//
// CChild sends the child's stdout and stderr to files of its own and reads them when asked, so a
// chatty child never blocks and every wait is a poll of the files with a deadline.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "support/Pty.h"
#include "support/TempDir.h"

namespace rs232::test {

using Ms = std::chrono::milliseconds;

class CPortLease {
public:
    // Takes every port of the list at once, a 0 standing for any free one of 1..16 that the list
    // does not name; waits while another process holds one of them or runs a server on it. A
    // process holds a lease for at most kHold (then it is ended, its children with it), and a
    // lease is waited for up to kWait, longer than that; then std::runtime_error. Within one
    // lease's life, further leases of ports it holds share them, and any other is refused at once.
    static constexpr std::chrono::seconds kHold{RS232_LEASE_HOLD}, kWait = kHold + 30s;
    explicit CPortLease(std::vector<int> ports = {0});
    ~CPortLease();
    CPortLease(const CPortLease&) = delete;
    CPortLease& operator=(const CPortLease&) = delete;
    int Port(size_t i = 0) const { return m_ports.at(i); }

private:
    std::vector<int> m_ports, m_fds;  // no descriptors: the ports are shared
};

class CChild {
public:
    // Starts argv[0] (searched on PATH without a '/') in workDir (ours when empty), with no
    // display variable in its environment and env set on top.
    explicit CChild(const std::vector<std::string>& argv, const std::string& workDir = {},
                    const std::map<std::string, std::string>& env = {});
    ~CChild();  // SIGKILL and reap when still running
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;

    // True once stdout (stderr) holds text at or after offset from; false at the time-out or
    // when the child has ended without it.
    bool WaitFor(const std::string& text, Ms timeout = 30s, size_t from = 0);
    bool WaitForErr(const std::string& text, Ms timeout = 30s);
    // Exit status, 128 + signal, or -1 when the child still runs at the time-out.
    int Wait(Ms timeout = 30s);
    int Stop(int signal, Ms timeout = 30s) { return Signal(signal), Wait(timeout); }
    void Signal(int signal);
    bool Running() { return Wait(0ms) < 0; }
    pid_t Pid() const { return m_pid; }

    std::string Out() const { return ReadWholeFile(m_files / "out"); }
    std::string Err() const { return ReadWholeFile(m_files / "err"); }
    std::vector<std::string> Lines() const;  // stdout lines, "HH:MM:SS " stamps removed

private:
    bool WaitOutput(const std::string& text, Ms timeout, size_t from, const char* file);

    CTempDir m_files;
    pid_t m_pid = -1;
    int m_status = -1;
};

struct SRunResult {
    int code = -1;  // -1: still running at the time-out (then killed)
    std::string out, err;
};
SRunResult RunProgram(const std::vector<std::string>& argv, Ms timeout = 100s,
                      const std::string& workDir = {});

// A private copy of the built server in dir, with settings written beside it when not empty
// (the server reads "<its own path>.ini"). Returns the copy's path.
std::string InstallServer(const CTempDir& dir, const std::string& settings = {});

struct SServerStart {
    std::vector<std::string> args = {};  // the command line after the program
    std::string settings = {};           // the settings file, written when not empty
    std::map<std::string, std::string> env = {};  // on top of ours
    std::string shell = {};  // when not empty, /bin/sh -c runs it, "$0" the copy, "$@" the args
};

// The server as a child process, from a private copy in dir (InstallServer), started in dir
// while this holds the lease of `port` (any free one when 0, or one of the test's lease).
class CServer : public CPortLease, public CChild {
public:
    CServer(const CTempDir& dir, int port, const SServerStart& start);
    // Headless on the port, whose device the settings map to `device`, as "<port> [args...]".
    CServer(const CTempDir& dir, const std::string& device, const std::vector<std::string>& args = {},
            const std::string& moreSettings = {}, int port = 0);
    bool Started(Ms timeout = 30s) { return WaitFor("Rs232 Server started ...\n", timeout); }
};

std::vector<std::string> Join(std::vector<std::string> head, const std::vector<std::string>& tail);
std::string WithoutStamp(const std::string& line);  // "HH:MM:SS text" -> "text"
// The event lines (stamps removed) of every LOG<port>_*.LOG file in logDir, oldest first.
std::vector<std::string> LogLines(const std::string& logDir, int port);
std::vector<std::string> ListDir(const std::string& dir);  // names, sorted
bool Contains(const std::vector<std::string>& lines, const std::string& line);
Bytes Pattern(size_t n, unsigned seed);  // seeded random bytes

}  // namespace rs232::test
