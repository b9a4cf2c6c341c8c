#include "support/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace rs232::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Binds an abstract Unix socket to name: its descriptor, or -1 when another process holds the name.
static int BindName(const std::string& name) {
    sockaddr_un address{AF_UNIX, {}};
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), offsetof(sockaddr_un, sun_path) + 1 + name.size()) == 0) return fd;
    close(fd);
    return -1;
}

static bool Has(const std::vector<int>& ports, int n) { return std::find(ports.begin(), ports.end(), n) != ports.end(); }

// All the wanted ports or none (holding some while waiting for the rest could wait on a test
// that waits for ours): a port is free when no other test leases it and no server runs on it,
// that is, the server's one-instance marker is free too.
static bool TakeAll(const std::vector<int>& wanted, std::vector<int>& ports, std::vector<int>& fds) {
    for (unsigned i = 0, any = std::random_device{}(); i < wanted.size() && fds.size() == i; ++i)
        for (unsigned k = 0; k < (wanted[i] ? 1 : 16) && fds.size() == i; ++k) {
            const int n = ports[i] = wanted[i] ? wanted[i] : static_cast<int>((any + k) % 16 + 1);
            if (wanted[i] == 0 && (Has(wanted, n) || Has({ports.begin(), ports.begin() + i}, n))) continue;
            const int fd = BindName("rs232-test-port-" + std::to_string(n));
            const int marker = fd < 0 ? -1 : BindName("Zelvo Quillet RS232 " + std::to_string(n));
            if (marker >= 0) close(marker), fds.push_back(fd);
            else if (fd >= 0) close(fd);
        }
    if (fds.size() == wanted.size()) return true;
    for (int fd : std::exchange(fds, {})) close(fd);
    return false;
}

static std::vector<int> g_leased;  // the ports of this process's lease

CPortLease::CPortLease(std::vector<int> ports) : m_ports(ports) {
    if (!g_leased.empty()) {
        for (const int n : ports)
            if (!Has(g_leased, n)) throw std::logic_error("a test takes all its ports in one lease, port " + std::to_string(n) + " is not in it");
        return;
    }
    for (const auto deadline = Clock::now() + kWait; !TakeAll(ports, m_ports, m_fds); poll(nullptr, 0, 20))
        if (Clock::now() >= deadline) throw std::runtime_error("server ports still held after " + std::to_string(kWait.count()) + " s");
    g_leased = m_ports;
    alarm(static_cast<unsigned>(kHold.count()));  // its default action ends the process
}

CPortLease::~CPortLease() {
    if (m_fds.empty()) return;
    alarm(0);
    for (int fd : m_fds) close(fd);
    g_leased.clear();
}

CChild::CChild(const std::vector<std::string>& argv, const std::string& workDir,
               const std::map<std::string, std::string>& env) {
    // Everything the child needs is prepared here: between fork and exec only plain system
    // calls are safe in a process with threads.
    std::vector<std::string> vars;
    for (char** e = environ; *e; ++e) {
        const std::string var = *e, name = var.substr(0, var.find('='));
        if (name != "DISPLAY" && name != "WAYLAND_DISPLAY" && name != "QT_QPA_PLATFORM" && !env.count(name)) vars.push_back(var);
    }
    for (const auto& [name, value] : env) vars.push_back(name + "=" + value);
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    for (const auto& v : vars) envp.push_back(const_cast<char*>(v.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);
    const int out = open((m_files / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const int err = open((m_files / "err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (out < 0 || err < 0 || (m_pid = fork()) < 0) throw std::runtime_error("cannot start " + argv[0]);
    if (m_pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test ended by a signal leaves no server behind
        dup2(out, 1);
        dup2(err, 2);
        if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(out);
    close(err);
}

CChild::~CChild() {
    if (m_status < 0 && kill(m_pid, SIGKILL) == 0) waitpid(m_pid, nullptr, 0);
}

bool CChild::WaitOutput(const std::string& text, Ms timeout, size_t from, const char* file) {
    for (const auto deadline = Clock::now() + timeout;; poll(nullptr, 0, 10)) {
        const bool ended = !Running();  // before the read: then the read sees all output
        const std::string s = ReadWholeFile(m_files / file);
        if (s.find(text, std::min(from, s.size())) != std::string::npos) return true;
        if (ended || Clock::now() >= deadline) return false;
    }
}

bool CChild::WaitFor(const std::string& text, Ms timeout, size_t from) { return WaitOutput(text, timeout, from, "out"); }
bool CChild::WaitForErr(const std::string& text, Ms timeout) { return WaitOutput(text, timeout, 0, "err"); }

int CChild::Wait(Ms timeout) {
    for (const auto deadline = Clock::now() + timeout; m_status < 0; poll(nullptr, 0, 5)) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        else if (Clock::now() >= deadline) return -1;
    }
    return m_status;
}

void CChild::Signal(int signal) {
    if (m_status < 0) kill(m_pid, signal);
}

std::vector<std::string> CChild::Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(Out());
    for (std::string line; std::getline(in, line);) lines.push_back(WithoutStamp(line));
    return lines;
}

SRunResult RunProgram(const std::vector<std::string>& argv, Ms timeout, const std::string& workDir) {
    CChild child(argv, workDir);
    const int code = child.Wait(timeout);
    if (code < 0) child.Stop(SIGKILL);
    return {code, child.Out(), child.Err()};
}

std::string InstallServer(const CTempDir& dir, const std::string& settings) {
    const std::string exe = dir / "rs232-server";
#ifdef RS232_SERVER_EXE
    if (!fs::exists(exe)) fs::copy_file(RS232_SERVER_EXE, exe);
#endif
    if (!settings.empty()) dir.WriteFile("rs232-server.ini", settings);
    return exe;
}

std::vector<std::string> Join(std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

static std::vector<std::string> ServerArgv(const CTempDir& dir, const SServerStart& start) {
    const std::string exe = InstallServer(dir, start.settings);
    return start.shell.empty() ? Join({exe}, start.args) : Join({"/bin/sh", "-c", start.shell, exe}, start.args);
}

CServer::CServer(const CTempDir& dir, int port, const SServerStart& start)
    : CPortLease({port}), CChild(ServerArgv(dir, start), dir.Path(), start.env) {}

CServer::CServer(const CTempDir& dir, const std::string& device, const std::vector<std::string>& args,
                 const std::string& moreSettings, int port)
    : CPortLease({port}),
      CChild(ServerArgv(dir, {Join({std::to_string(Port())}, args), "[PORTS]\nCOM" + std::to_string(Port()) + "=" + device + "\n" + moreSettings}),
             dir.Path()) {}

std::string WithoutStamp(const std::string& line) {
    return line.size() >= 9 && line[2] == ':' && line[5] == ':' && line[8] == ' ' ? line.substr(9) : line;
}

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> LogLines(const std::string& logDir, int port) {
    std::vector<std::string> lines;
    for (const auto& name : fs::is_directory(logDir) ? ListDir(logDir) : lines) {
        if (!name.starts_with("LOG" + std::to_string(port) + "_") || !name.ends_with(".LOG")) continue;
        const std::string text = ReadWholeFile(logDir + name);
        for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
            lines.push_back(WithoutStamp(text.substr(at, end - at)));
    }
    return lines;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

Bytes Pattern(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<uint8_t>(gen());
    return out;
}

}  // namespace rs232::test
