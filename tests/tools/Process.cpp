#include "Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace rs232::test {

using Clock = std::chrono::steady_clock;

CChild::CChild(const std::vector<std::string>& argv, const std::vector<std::string>& unsetEnv,
               const std::string& workDir) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    m_pid = fork();
    if (m_pid < 0) throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (const auto& name : unsetEnv) unsetenv(name.c_str());
        if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    m_outFd = out[0];
    m_errFd = err[0];
}

CChild::~CChild() {
    if (m_pid > 0 && m_status < 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &m_status, 0);
    }
    if (m_outFd >= 0) close(m_outFd);
    if (m_errFd >= 0) close(m_errFd);
}

void CChild::Pump(std::chrono::milliseconds timeout) {
    pollfd fds[2] = {{m_outFd, POLLIN, 0}, {m_errFd, POLLIN, 0}};
    if (m_outFd < 0 && m_errFd < 0) return;
    int r = poll(fds, 2, static_cast<int>(timeout.count()));
    if (r <= 0) return;
    char buf[4096];
    for (int i = 0; i < 2; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        ssize_t n = read(fds[i].fd, buf, sizeof buf);
        if (n > 0) {
            (i == 0 ? m_out : m_err).append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            close(fds[i].fd);
            (i == 0 ? m_outFd : m_errFd) = -1;
        }
    }
}

bool CChild::WaitForLine(const std::string& prefix, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        size_t start = m_scanned;
        size_t nl;
        while ((nl = m_out.find('\n', start)) != std::string::npos) {
            if (m_out.compare(start, prefix.size(), prefix) == 0) {
                m_scanned = nl + 1;
                return true;
            }
            start = nl + 1;
        }
        m_scanned = start;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || (m_outFd < 0 && m_errFd < 0)) return false;
        Pump(left);
    }
}

int CChild::Wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (m_status < 0) {
        pid_t r = waitpid(m_pid, &m_status, WNOHANG);
        if (r == m_pid) break;
        m_status = -1;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return -1;
        // Output is read meanwhile, so a chatty child never blocks on a full pipe.
        Pump(std::min(left, std::chrono::milliseconds(20)));
        if (m_outFd < 0 && m_errFd < 0) usleep(1000);
    }
    while (m_outFd >= 0 || m_errFd >= 0) Pump(std::chrono::milliseconds(100));
    if (WIFEXITED(m_status)) return WEXITSTATUS(m_status);
    if (WIFSIGNALED(m_status)) return 128 + WTERMSIG(m_status);
    return -1;
}

int CChild::Stop(int sig, std::chrono::milliseconds timeout) {
    if (m_status < 0) kill(m_pid, sig);
    return Wait(timeout);
}

SRunResult RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    const auto start = Clock::now();
    CChild child(argv);
    SRunResult result;
    result.code = child.Wait(timeout);
    if (result.code < 0) child.Stop(SIGKILL, std::chrono::seconds(5));
    result.out = child.Out();
    result.err = child.Err();
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return result;
}

}  // namespace rs232::test
