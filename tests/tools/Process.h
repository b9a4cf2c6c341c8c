// Child processes for the tool tests: start a program, watch its stdout for a line, stop it with
// a signal and collect its exit status. Every wait has a time-out; nothing sleeps blindly.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace rs232::test {

class CChild {
public:
    // Starts argv[0] with its stdout and stderr captured. unsetEnv names variables removed in
    // the child; workDir (when not empty) becomes its working directory.
    explicit CChild(const std::vector<std::string>& argv,
                    const std::vector<std::string>& unsetEnv = {},
                    const std::string& workDir = {});
    ~CChild();  // SIGKILL and reap if still running
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;

    // Reads stdout until a line starting with prefix arrives; false at the time-out or exit.
    bool WaitForLine(const std::string& prefix, std::chrono::milliseconds timeout);
    // Sends sig and waits for the exit; the exit code, 128+signal, or -1 at the time-out.
    int Stop(int sig, std::chrono::milliseconds timeout);
    // Waits for the exit without a signal.
    int Wait(std::chrono::milliseconds timeout);

    const std::string& Out() const { return m_out; }
    const std::string& Err() const { return m_err; }
    pid_t Pid() const { return m_pid; }

private:
    void Pump(std::chrono::milliseconds timeout);  // reads what the pipes offer, up to timeout
    pid_t m_pid = -1;
    int m_outFd = -1;
    int m_errFd = -1;
    int m_status = -1;
    std::string m_out;
    std::string m_err;
    size_t m_scanned = 0;
};

struct SRunResult {
    int code = -1;  // -1: did not end within the time-out (killed)
    std::string out;
    std::string err;
    double seconds = 0;
};

// Runs a program to its end.
SRunResult RunProgram(const std::vector<std::string>& argv,
                      std::chrono::milliseconds timeout = std::chrono::seconds(100));

}  // namespace rs232::test
