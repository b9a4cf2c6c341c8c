#include "app/ConsoleView.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "app/ServerDlg.h"
#include "app/SystemInfo.h"
#include "log/LogFile.h"
#include "platform/ServiceManager.h"
#include "platform/TextFormat.h"

namespace rs232 {

namespace {

// The journal's priority of a level: 3 (error), 4 (warning) or 6 (informational).
int SyslogPriority(EEventLevel level) {
    switch (level) {
        case EEventLevel::Error: return 3;
        case EEventLevel::Warning: return 4;
        case EEventLevel::Info: break;
    }
    return 6;
}

// Messages and error reports: one line each on stderr, out at once; marked as errors for the
// journal.
void PrintMessage(const std::string& text) {
    static const bool journal = IsJournalStream(2);
    std::fprintf(stderr, "%s%s\n", journal ? "<3>" : "", text.c_str());
    std::fflush(stderr);
}

}  // namespace

int CConsoleEventList::GetCount() const {
    return m_bDetached ? 0 : static_cast<int>(m_lines.size());
}

void CConsoleEventList::DeleteFirst() {
    if (!m_bDetached && !m_lines.empty()) m_lines.pop_front();
}

void CConsoleEventList::Append(const std::string& line, EEventLevel level) {
    if (m_bDetached) return;
    m_lines.push_back(line);
    // The journal stamps each line itself and takes its level from a "<n>" prefix.
    const std::string out =
        m_bJournal ? FormatText("<%d>", SyslogPriority(level)) + WithoutTimeStamp(line) : line;
    // stdout is often a pipe or a journal: each line must be out before the next tick.
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void CConsoleEventList::Detach() {
    m_bDetached = true;
    m_lines.clear();
}

void CConsoleServerView::MessageBox(const std::string& text) { PrintMessage(text); }

void CConsoleServerView::ReportError(const std::string& text) { PrintMessage(text); }

void CConsoleServerView::DestroyWindow() {
    m_bDestroyed = true;
    m_bTimerActive = false;
    m_list.Detach();
}

void CConsoleServerView::SetTimer(int id, int periodMs) {
    if (m_bDestroyed) return;
    m_bTimerActive = true;
    m_nTimerId = id;
    m_period = std::chrono::milliseconds(periodMs);
    m_nextTick = Clock::now() + m_period;
}

void CConsoleServerView::KillTimer(int /*id*/) { m_bTimerActive = false; }

void CConsoleServerView::Sleep(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void CConsoleServerView::PumpMessages() {
    if (!m_pDlg || m_bDestroyed) return;
    if (m_signals.TakeReload()) m_pDlg->OnReload();
    if (m_signals.TakePending()) m_pDlg->OnCancel();
}

void CConsoleServerView::DoModal(CServerDlg& dlg) {
    m_pDlg = &dlg;
    m_strTitle = CServerDlg::kTitle;
    dlg.OnInitDialog();
    while (!m_bDestroyed) {
        int timeoutMs = -1;
        if (m_bTimerActive) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(m_nextTick - Clock::now());
            timeoutMs = static_cast<int>(std::max<long>(0, left.count()));
        }
        const int deviceFd = m_bWatchDevice ? dlg.ArrivalFd() : -1;
        const auto seen = m_signals.Wait(deviceFd, timeoutMs);
        const bool timedOut = seen.timedOut;
        // Signals are read when their descriptor says there are some, not on every tick.
        if (seen.signal) {
            if (m_signals.TakeReload()) dlg.OnReload();
            if (m_signals.TakePending()) {
                dlg.OnCancel();
                continue;
            }
        }
        // A device that is readable but gives nothing (hung up) is left to the next tick.
        if (seen.device && !dlg.OnArrival()) m_bWatchDevice = false;
        if (const auto now = Clock::now(); m_bTimerActive && now >= m_nextTick) {
            // A poll that timed out on the device has asked it what the tick's Poll would.
            dlg.OnTimer(m_nTimerId, timedOut && seen.deviceWatched);
            m_bWatchDevice = true;
            // An overdue tick comes once, at once; ticks never pile up behind a long one.
            m_nextTick = std::max(m_nextTick + m_period, now);
        }
    }
    m_pDlg = nullptr;
}

void CConsoleShell::MessageBox(const std::string& text) { PrintMessage(text); }

int CConsoleShell::RunMainWindow(const std::string& commandLine) {
    CSignalWatcher signalWatcher;
    CConsoleServerView view(signalWatcher);
    CServerDlg dlg(view, commandLine, ExecutablePath());
    view.DoModal(dlg);
    return dlg.ExitStatus();
}

}  // namespace rs232
