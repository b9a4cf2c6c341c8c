#include "app/SignalWatcher.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace rs232 {

CSignalWatcher::CSignalWatcher() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    // Without the descriptor the signals keep their default action: the process still ends.
    m_fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (m_fd >= 0) sigprocmask(SIG_BLOCK, &set, nullptr);
}

CSignalWatcher::~CSignalWatcher() {
    if (m_fd >= 0) close(m_fd);
}

bool CSignalWatcher::TakePending() {
    if (m_fd < 0) return false;
    bool any = false;
    signalfd_siginfo info;
    while (read(m_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) any = true;
    return any;
}

}  // namespace rs232
