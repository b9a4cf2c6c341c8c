#include "app/SignalWatcher.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <utility>

namespace rs232 {

CSignalWatcher::CSignalWatcher() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    // Without the descriptor the signals keep their default action: the process still ends.
    m_fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (m_fd >= 0) sigprocmask(SIG_BLOCK, &set, nullptr);
}

CSignalWatcher::~CSignalWatcher() {
    if (m_fd >= 0) close(m_fd);
}

void CSignalWatcher::Collect() {
    if (m_fd < 0) return;
    signalfd_siginfo info;
    while (read(m_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        (info.ssi_signo == SIGHUP ? m_bReload : m_bClose) = true;
}

CSignalWatcher::SWaitResult CSignalWatcher::Wait(int deviceFd, int timeoutMs) const {
    // poll() skips a negative descriptor: no signal descriptor, or no device to watch.
    pollfd p[2] = {{m_fd, POLLIN, 0}, {deviceFd, POLLIN, 0}};
    SWaitResult result;
    result.timedOut = poll(p, 2, timeoutMs) == 0;
    result.signal = p[0].revents != 0;
    result.device = p[1].fd >= 0 && p[1].revents != 0;
    result.deviceWatched = deviceFd >= 0;
    return result;
}

bool CSignalWatcher::TakePending() {
    Collect();
    return std::exchange(m_bClose, false);
}

bool CSignalWatcher::TakeReload() {
    Collect();
    return std::exchange(m_bReload, false);
}

}  // namespace rs232
