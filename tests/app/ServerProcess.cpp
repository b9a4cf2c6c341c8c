#include "ServerProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace rs232::test {

namespace fs = std::filesystem;

std::string InstallServer(const CTempDir& dir) {
    const std::string target = dir / "rs232-server";
    if (!fs::exists(target)) fs::copy_file(RS232_SERVER_EXE, target);
    return target;
}

std::string WithoutStamp(const std::string& line) {
    if (line.size() >= 9 && line[2] == ':' && line[5] == ':' && line[8] == ' ')
        return line.substr(9);
    return line;
}

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> LogLines(const std::string& logDir, int port) {
    const std::string prefix = "LOG" + std::to_string(port) + "_";
    std::vector<std::string> files;
    if (fs::is_directory(logDir))
        for (const auto& name : ListDir(logDir))
            if (name.starts_with(prefix) && name.ends_with(".LOG")) files.push_back(name);
    std::vector<std::string> lines;
    for (const auto& name : files) {
        std::string text = ReadWholeFile(logDir + name);
        size_t start = 0, end;
        while ((end = text.find("\r\n", start)) != std::string::npos) {
            lines.push_back(WithoutStamp(text.substr(start, end - start)));
            start = end + 2;
        }
    }
    return lines;
}

CServerProcess::CServerProcess(const CTempDir& dir, const std::vector<std::string>& args) {
    const std::string exe = InstallServer(dir);
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    m_pid = fork();
    if (m_pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (chdir(dir.Path().c_str()) != 0) _exit(126);
        // Headless: no display of any kind.
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        unsetenv("QT_QPA_PLATFORM");
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    m_outFd = out[0];
    m_errFd = err[0];
}

CServerProcess::~CServerProcess() {
    if (m_pid > 0 && m_status < 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    if (m_outFd >= 0) close(m_outFd);
    if (m_errFd >= 0) close(m_errFd);
}

bool CServerProcess::Pump(std::chrono::milliseconds timeout) {
    pollfd p[2] = {{m_outFd, POLLIN, 0}, {m_errFd, POLLIN, 0}};
    if (m_outFd < 0 && m_errFd < 0) return false;
    if (poll(p, 2, static_cast<int>(timeout.count())) <= 0) return true;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
        if (!(p[i].revents & (POLLIN | POLLHUP))) continue;
        int& fd = i == 0 ? m_outFd : m_errFd;
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            (i == 0 ? m_out : m_err).append(buffer, static_cast<size_t>(n));
        } else {
            close(fd);
            fd = -1;
        }
    }
    return true;
}

std::vector<std::string> CServerProcess::Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(m_out);
    for (std::string line; std::getline(in, line);) lines.push_back(WithoutStamp(line));
    return lines;
}

bool CServerProcess::WaitForLine(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const auto lines = Lines();
        if (std::find(lines.begin(), lines.end(), text) != lines.end()) return true;
        if (std::chrono::steady_clock::now() >= deadline || !Pump(100ms)) return false;
    }
}

bool CServerProcess::WaitForError(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_err.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline || !Pump(100ms)) return false;
    }
    return true;
}

int CServerProcess::WaitExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_status < 0) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        if (!Pump(20ms)) usleep(5000);  // both pipes closed: only the exit is left to see
    }
    while (Pump(0ms) && (m_outFd >= 0 || m_errFd >= 0)) {
    }
    return m_status;
}

void CServerProcess::Signal(int signal) { kill(m_pid, signal); }

int RunServer(const CTempDir& dir, const std::vector<std::string>& args, std::string* out,
              std::string* err) {
    CServerProcess process(dir, args);
    const int status = process.WaitExit();
    if (out) *out = process.Stdout();
    if (err) *err = process.Stderr();
    return status;
}

}  // namespace rs232::test
