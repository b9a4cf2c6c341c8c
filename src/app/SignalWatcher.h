// SIGINT and SIGTERM (close) and SIGHUP (re-read the settings) as a readable descriptor: the signals are blocked for the whole process and
// collected through a signalfd, so they reach the program only where it looks for them (between
// ticks, or in the message pump) and never interrupt a file or port operation half-way.
// Construct it before any thread starts, so that every thread inherits the blocked mask.
#pragma once

namespace rs232 {

class CSignalWatcher {
public:
    CSignalWatcher();
    ~CSignalWatcher();
    CSignalWatcher(const CSignalWatcher&) = delete;
    CSignalWatcher& operator=(const CSignalWatcher&) = delete;

    // Readable while a signal is pending; -1 when the descriptor could not be made.
    int Fd() const { return m_fd; }
    // Waits up to timeoutMs (negative: no limit) for a signal or for input on deviceFd (-1 for
    // none). What it saw: nothing when the time ran out.
    // deviceWatched: the wait watched the device too (POSIX; on Windows it cannot, so a time-out
    // says nothing of the device).
    struct SWaitResult {
        bool timedOut = false, signal = false, device = false, deviceWatched = false;
    };
    SWaitResult Wait(int deviceFd, int timeoutMs) const;
    // Consumes the pending signals; true when SIGINT or SIGTERM was among them (a SIGHUP among
    // them is kept for TakeReload). Never waits.
    bool TakePending();
    // Consumes the pending signals; true when SIGHUP was among them (SIGINT/SIGTERM are kept for
    // TakePending). Never waits.
    bool TakeReload();

private:
    void Collect();

    int m_fd = -1;
    bool m_bClose = false;
    bool m_bReload = false;
};

}  // namespace rs232
