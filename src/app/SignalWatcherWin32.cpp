// Ctrl+C, Ctrl+Break and the console's close (close) on Windows: a console control handler
// sets a flag and an event that the loop waits on, so the request is taken between ticks,
// never in the middle of a file or port operation. Windows has no SIGHUP: no reload.
#include <windows.h>

#include <atomic>
#include <utility>

#include "app/SignalWatcher.h"

namespace rs232 {

namespace {

std::atomic<bool> g_close{false};
HANDLE g_event = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
    g_close = true;
    if (g_event) SetEvent(g_event);
    // The system ends the process once a close handler returns: give the loop time to close.
    if (type == CTRL_CLOSE_EVENT) Sleep(5000);
    return TRUE;
}

}  // namespace

CSignalWatcher::CSignalWatcher() {
    g_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

CSignalWatcher::~CSignalWatcher() {
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    if (g_event) CloseHandle(std::exchange(g_event, nullptr));
}

void CSignalWatcher::Collect() {
    if (g_close.exchange(false)) m_bClose = true;
}

CSignalWatcher::SWaitResult CSignalWatcher::Wait(int, int timeoutMs) const {
    SWaitResult result;
    const DWORD ms = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    result.timedOut = WaitForSingleObject(g_event, ms) == WAIT_TIMEOUT;
    result.signal = !result.timedOut;
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
