// The headless view: event lines go to stdout (flushed at once), message boxes to stderr, the
// tick is a loop on the calling thread that also wakes when bytes arrive on the server's
// device, SIGINT/SIGTERM act as the close command and SIGHUP re-reads the optional settings.
// When stdout is the journal, lines carry a syslog level prefix instead of their time stamp
// (the log file keeps the stamp).
#pragma once

#include <chrono>
#include <deque>
#include <string>

#include "app/ServerApp.h"
#include "app/ServerView.h"
#include "app/SignalWatcher.h"
#include "platform/ServiceManager.h"

namespace rs232 {

class CServerDlg;

// Keeps the lines (count and delete-first behave as in the window's list) and prints each
// appended line. Once detached (window destroyed) it ignores everything and counts 0.
class CConsoleEventList : public IEventList {
public:
    int GetCount() const override;
    void DeleteFirst() override;
    void Append(const std::string& line, EEventLevel level) override;
    void SelectLast() override {}
    void Detach();

private:
    std::deque<std::string> m_lines;
    bool m_bDetached = false;
    bool m_bJournal = IsJournalStream(1);  // stdout goes to the journal
};

class CConsoleServerView : public IServerView {
public:
    explicit CConsoleServerView(CSignalWatcher& signalWatcher) : m_signals(signalWatcher) {}

    // Runs start-up and then the ticks until the window is destroyed.
    void DoModal(CServerDlg& dlg);

    IEventList& EventList() override { return m_list; }
    void MessageBox(const std::string& text) override;
    void ReportError(const std::string& text) override;
    std::string GetWindowText() const override { return m_strTitle; }
    void SetWindowText(const std::string& text) override { m_strTitle = text; }
    void DestroyWindow() override;
    void SetTimer(int id, int periodMs) override;
    void KillTimer(int id) override;
    bool IsKeyHeld(EKey) const override { return false; }
    void Sleep(int milliseconds) override;
    void PumpMessages() override;

private:
    using Clock = std::chrono::steady_clock;

    CSignalWatcher& m_signals;
    CConsoleEventList m_list;
    CServerDlg* m_pDlg = nullptr;
    std::string m_strTitle;
    bool m_bDestroyed = false;
    bool m_bTimerActive = false;
    bool m_bWatchDevice = true;  // off from an arrival that took nothing until the next tick
    int m_nTimerId = 0;
    Clock::duration m_period{};
    Clock::time_point m_nextTick{};
};

class CConsoleShell : public IAppShell {
public:
    void MessageBox(const std::string& text) override;
    int RunMainWindow(const std::string& commandLine) override;
};

}  // namespace rs232
