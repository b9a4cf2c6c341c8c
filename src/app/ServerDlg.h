// The main window's logic, free of any toolkit: start-up, the 50 ms service tick, closing and
// the event-line route of the window. A view (Qt dialog or headless console) shows it through
// IServerView and forwards its events here. What it calls on: the settings (Settings.h), the
// engine and its status text and retention (server/), the service manager (ServiceNotifier.h)
// and the monitoring records (Monitoring.h).
//
// Files: settings = <executable>.ini (Settings.h), BAUDRATE written only when the file is
// missing; <base>BAK/ and <base>LOG/ made at start-up. The optional settings are read again on
// OnReload.
// Service: with NOTIFY_SOCKET set, READY=1 once the port is open, STATUS= on change (at most once
// per CServiceNotifier::kStatusInterval) and STOPPING=1 when closing.
// Environment: RS232_DEFAULT_ROOT is the access root when the settings name none;
// RS232_WAIT_FOR_PORT=1 waits for a missing device, or a network line another connection holds.
// Timing: OnTimer and OnArrival serve what is queued, at most kMaxPollsPerWake Polls (each
// at most one request), and may block for the link's time limits; the closing path pauses
// 500 ms after each closing line, a failed start 1000 ms after its
// cause (device and system error) was logged and shown in a message box.
// Errors: no exception leaves OnTimer; a failed start, directory error or settings file that
// stops the start makes ExitStatus() 1.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/Monitoring.h"
#include "app/ServerView.h"
#include "app/Settings.h"
#include "platform/Paths.h"
#include "app/ServiceNotifier.h"
#include "server/OperatorStatus.h"
#include "server/Retention.h"
#include "server/Rs232Server.h"
#include "log/LogFile.h"

namespace rs232 {

class CServerDlg {
public:
    static constexpr int kTimerId = 101;
    static constexpr int kTimerPeriodMs = 50;
    // Polls one wake-up may run back to back while bytes are queued (a request's bytes, or a
    // run of line noise taken one byte a Poll) before the view gets control back.
    static constexpr int kMaxPollsPerWake = 64;
    static constexpr int kDefaultBaudRate = SSettings::kDefaultBaudRate;
    static constexpr int kMaxListLines = 300;   // above this the window's route trims the list
    static constexpr int kTrimLines = 50;
    static constexpr const char* kTitle = "RS232 Server for Quillet Solution";

    // exePath: the running executable; the settings file and the application path follow
    // from it.
    CServerDlg(IServerView& view, std::string commandLine, std::string exePath);
    CServerDlg(const CServerDlg&) = delete;
    CServerDlg& operator=(const CServerDlg&) = delete;
    virtual ~CServerDlg();

    // Start-up: directories, log file, title, start-up lines, settings, timer. Always true.
    bool OnInitDialog();
    // One tick: starts the server on the first, then serves like OnArrival (at least one Poll:
    // it also notices a lost device and opens it again). lineQuiet: the view has just watched
    // ArrivalFd() and seen it neither readable nor hung up, which is all a Poll would ask the
    // device on a quiet line; the tick then leaves the device alone.
    void OnTimer(int timerId, bool lineQuiet = false);
    // Bytes arrived on ArrivalFd(): serves them at once. False when it took nothing (server not
    // started yet, a request already being served further up the stack, or nothing queued, as
    // after a hang-up): the view then leaves the device alone until the next tick.
    bool OnArrival();
    // The descriptor to wait on for arrivals, -1 when there is none; it changes when the server
    // starts, loses its device or opens it again, so the view asks after each tick.
    int ArrivalFd() const { return m_bDestroyed ? -1 : m_server.ArrivalFd(); }
    // Closing path, ignored while Enter (OnOK) or Escape (OnCancel) is held down.
    void OnOK();
    void OnCancel();
    // Re-reads the optional settings at the next tick outside a request.
    void OnReload() { m_bReloadPending = true; }

    SOperatorStatus Status() const;
    // The log file a line written now goes to.
    std::string LogFilePath() const { return m_logFile.CurrentFileName(); }

    // Time-stamped line to the list (trimmed above 300 lines) and to the daily log file.
    void LogMessage(const std::string& text);
    void LogMessage(const std::string& text, EEventLevel level);

    // Where every request's outcome arrives, once, when the request has ended: its line is
    // logged at its level, then the value goes to each listener, in the order they were added.
    void OnRequestOutcome(const SRequestOutcome& outcome);
    void AddOutcomeListener(std::function<void(const SRequestOutcome&)> listener) {
        m_outcomeListeners.push_back(std::move(listener));
    }

    // False when the settings file does not exist (rate untouched); otherwise reads BAUDRATE
    // (default 57600), BLOCKPAUSE, the [PORTS] device map, the [ACCESS] limits and the path rules,
    // or, for a file that cannot be read or a root that names no directory, sets the reason
    // the start stops with.
    bool ReadSettings();
    // Writes BAUDRATE into [COMPORT], keeping the file's other content. Always true.
    bool WriteSettings();
    // "%.2ld" x4 from the build's four-part version; "00.00.00.00" when it cannot be read.
    std::string GetVersionString() const;

    std::string SettingsPath() const { return SettingsPathOf(m_strExePath); }
    int ExitStatus() const { return (m_bDirError || m_bStartFailed) ? 1 : 0; }
    bool IsDestroyed() const { return m_bDestroyed; }
    int GetPort() const { return m_nPort; }
    int32_t GetBaudRate() const { return m_nBaudRate; }
    const std::string& GetBasePath() const { return m_strBasePath; }
    CRs232Server& Server() { return m_server; }

private:
    void Close(EKey key);
    // One Poll, then more while bytes are queued, at most kMaxPollsPerWake; every event taken.
    void Serve();
    // What a Poll came to: a request's outcome, a line, or a file error for the error report.
    void OnPollEvent(const SPollEvent& event);
    // The state file from the server's state now; also between the blocks of a long request.
    void UpdateMonitoring();
    // A start that will not serve: the port down in the state file.
    void StartRefused();
    void DestroyWindow();
    // The settings read to the server and the retention.
    void ApplySettings();
    // The warnings of the last read, then the optional settings that are set.
    void LogSettings();
    void Reload();
    // Removes expired logs and backups (when a KEEPDAYS is set) and notes today's date.
    void ApplyRetention();
    void NotifyStatus(bool force);

    IServerView& m_view;
    std::string m_strCmdLine;
    std::string m_strExePath;
    std::string m_strAppPath;
    std::string m_strBasePath;

    CLogFile m_logFile;
    int m_bServerRunning = 0;
    CRs232Server m_server;
    int m_nPort = 0;
    int32_t m_nBaudRate = kDefaultBaudRate;
    IEventList& m_listLog;

    bool m_bDestroyed = false;
    bool m_bDirError = false;
    bool m_bStartFailed = false;
    bool m_bReloadPending = false;
    std::string m_strSettingsError;  // why the settings stop the start; empty when they do not
    std::vector<std::string> m_settingsWarnings;
    SSettings m_settings;
    CRetention m_retention;

    std::vector<std::function<void(const SRequestOutcome&)>> m_outcomeListeners;
    CMonitoring m_monitoring;  // the state file and the audit records
    CServiceNotifier m_notify;
    // RS232_WAIT_FOR_PORT=1: a missing device or a line held elsewhere is tried again every
    // reopen interval.
    bool m_bWaitForPort = false;
    bool m_bWaitingForPort = false;
    std::string m_strWaitReason;  // the line logged for the wait
    CRs232Server::Clock::time_point m_nextPortLook{};
};

}  // namespace rs232
