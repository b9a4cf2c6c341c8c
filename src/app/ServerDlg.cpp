#include "app/ServerDlg.h"

#include <cstdlib>
#include <utility>

#include "app/AuditLog.h"
#include "app/CommandLine.h"
#include "app/SystemInfo.h"
#include "platform/Clock.h"
#include "platform/FileOps.h"
#include "platform/Paths.h"
#include "platform/SettingsFile.h"
#include "platform/TextFormat.h"

namespace rs232 {

namespace {

// Set to 1 by the service's unit: a port whose device does not exist yet, or whose terminal
// server serves another connection on the line (a standby host), is waited for instead of
// ending the start.
constexpr const char* kWaitForPortVariable = "RS232_WAIT_FOR_PORT";

std::string DescribeException(const std::exception& e) {
    if (auto* file = dynamic_cast<const CFileException*>(&e)) return file->Describe();
    return std::string("Error: ") + e.what();
}

}  // namespace

CServerDlg::CServerDlg(IServerView& view, std::string commandLine, std::string exePath)
    : m_view(view),
      m_strCmdLine(std::move(commandLine)),
      m_strExePath(std::move(exePath)),
      m_listLog(view.EventList()),
      m_monitoring([this](const std::string& text, EEventLevel level) { LogMessage(text, level); }) {
    const char* wait = std::getenv(kWaitForPortVariable);
    m_bWaitForPort = wait && ProfileInt(wait) != 0;
    AddOutcomeListener([this](const SRequestOutcome& outcome) { m_monitoring.Record(outcome); });
    // A long request hands control back to the view between its blocks, and its progress
    // reaches the state file; the engine's lines take the window's route.
    m_server.SetMessagePump([this] {
        m_view.PumpMessages();
        UpdateMonitoring();
    });
    m_server.SetEventRoute([this](const std::string& text, EEventLevel level) { LogMessage(text, level); });
}

CServerDlg::~CServerDlg() = default;

bool CServerDlg::OnInitDialog() {
    // The view has made the window, its list and its icon before this runs.
    m_strAppPath = DirectoryOf(m_strExePath);
    const std::string& cmdLine = m_strCmdLine;

    // The log directory is not known yet: the file copy of this one line goes to the date-named
    // file in the working directory.
    LogMessage("Command line is: >" + cmdLine + "<");

    const int port = ReadPortField(cmdLine);
    m_strBasePath = BasePathFrom(cmdLine, port, m_strAppPath);
    m_nPort = port;
    m_server.SetBasePath(m_strBasePath);

    if (!CLogFile::CreateDir(m_strBasePath + "BAK")) {
        m_bDirError = true;
        m_view.MessageBox("Backup Dir Error");
        DestroyWindow();
    }
    m_server.SetBackupPath(m_strBasePath + "BAK" + kDirSeparator);

    if (!CLogFile::CreateDir(m_strBasePath + "LOG")) {
        m_bDirError = true;
        m_view.MessageBox("Log Dir Error");
        DestroyWindow();
    }
    m_logFile.SetLogDir(m_strBasePath + "LOG" + kDirSeparator);
    m_logFile.SetPort(port);

    m_view.SetWindowText(m_view.GetWindowText() + FormatText(" Port %d", port));

    LogMessage("Program (Version " + GetVersionString() + ") started ...");
    LogMessage("Application path is: " + m_strAppPath);
    LogMessage(FormatText("Com port is: %d", port));
    LogMessage("Base path is: " + m_strBasePath);
    if (!m_strBasePath.empty() && !EndsInSeparator(m_strBasePath))
        LogMessage(BasePathWarning(m_strBasePath), EEventLevel::Warning);
    m_bServerRunning = 0;
    if (!ReadSettings()) WriteSettings();  // with the default rate
    // Settings that cannot be taken as they are never leave a weaker server running.
    if (!m_strSettingsError.empty()) {
        m_bStartFailed = true;
        LogMessage(m_strSettingsError, EEventLevel::Error);
        StartRefused();
        m_view.MessageBox(m_strSettingsError);
        if (!m_bDestroyed) DestroyWindow();
        return true;
    }
    LogMessage(FormatText("Baudrate is: %ld", static_cast<long>(m_nBaudRate)));
    if (const std::string notice = m_server.Notice(port); !notice.empty()) LogMessage(notice);
    LogSettings();
    if (!m_bDirError) ApplyRetention();
    if (m_bDirError)
        StartRefused();
    else
        m_monitoring.Open(m_settings.statusDir, m_logFile.GetLogDir(), m_nPort, m_server.DeviceName(m_nPort));

    const SMemoryStatus memory = QueryMemoryStatus();
    LogMessage(FormatText("Memory -> phys: %ld kB avail: %ld kB load: %ld%%", memory.totalKb,
                          memory.availableKb, memory.loadPercent));

    // A destroyed window never ticks: the view ignores the timer then.
    m_view.SetTimer(kTimerId, kTimerPeriodMs);
    return true;
}

void CServerDlg::OnTimer(int /*timerId*/, bool lineQuiet) {
    // An error out of this tick (a failing file operation outside a request) ends it only: the
    // operator is told, and the next tick runs as usual.
    try {
        if (m_bReloadPending && !m_server.IsServing()) Reload();
        const int64_t now = CurrentTime();
        if (m_retention.Due(now) && !m_server.IsServing()) ApplyRetention();
        if (m_bServerRunning == 0) {
            if (m_bWaitingForPort && CRs232Server::Clock::now() < m_nextPortLook) return;
            const int result = m_server.StartServer(m_nPort, m_nBaudRate);
            const std::string device = m_server.DeviceName(m_nPort);
            const bool held = m_server.LineHeldElsewhere();
            if (result == kPortOpenFailed && m_bWaitForPort && (held || !FileExists(device))) {
                // Quietly: one line now and one when the reason changes (a network line's says
                // why it cannot be had), the next when the server starts.
                const std::string why =
                    held ? FormatText("Serial port %s held by another connection, waiting for it", device.c_str())
                    : *PortBackendKind(device).scheme ? m_server.LastError() + "; waiting for it"
                    : FormatText("Serial port %s not there, waiting for it", device.c_str());
                if (why != std::exchange(m_strWaitReason, why)) LogMessage(why);
                if (!std::exchange(m_bWaitingForPort, true)) {
                    // Started as far as the service manager is concerned: waiting is its state.
                    m_notify.Ready();
                    NotifyStatus(true);
                }
                m_nextPortLook = CRs232Server::Clock::now() + CRs232Server::kReopenInterval;
            } else if (result == 1) {
                m_bStartFailed = false;
                LogMessage("Rs232 Server started ...");
                // The start-up lines give the port's number only; its device follows here.
                LogMessage("Device is: " + m_server.DeviceName(m_nPort));
                m_bServerRunning = 1;
                m_notify.Ready();
                NotifyStatus(true);
            } else {
                m_bStartFailed = true;
                LogMessage(FormatText("Start Server Error %d", result), EEventLevel::Error);
                // The cause names the device and the system's reason; the operator sees it
                // before the window goes.
                const std::string& cause = m_server.LastError();
                if (!cause.empty()) {
                    LogMessage(cause, EEventLevel::Error);
                    m_view.MessageBox(cause);
                }
                m_view.Sleep(1000);
                OnCancel();
            }
        } else if (lineQuiet && !m_server.IsServing()) {
            NotifyStatus(false);
        } else {
            Serve();
        }
        UpdateMonitoring();
    } catch (const std::exception& e) {
        m_view.ReportError(DescribeException(e));
    }
}

void CServerDlg::UpdateMonitoring() {
    const ELinkState link = m_server.LinkState();
    m_monitoring.Update(m_bServerRunning == 1 && (link == ELinkState::Waiting || link == ELinkState::Serving),
                        m_server.Activity(), m_server.Transfer());
}

void CServerDlg::StartRefused() {
    // The previous run's state (stopped, perhaps) must not stand for a port that is not served.
    m_monitoring.Open(m_settings.statusDir, m_logFile.GetLogDir(), m_nPort, m_server.DeviceName(m_nPort));
    m_monitoring.Stop(m_server.Activity(), false);
}

bool CServerDlg::OnArrival() {
    if (m_bServerRunning == 0 || m_bDestroyed || m_server.IsServing() ||
        !m_server.HasQueuedInput())
        return false;
    Serve();
    return true;
}

void CServerDlg::Serve() {
    int polls = 0;
    do {
        SPollEvent event;
        m_server.Poll(event);
        OnPollEvent(event);
    } while (++polls < kMaxPollsPerWake && !m_bDestroyed && !m_server.IsServing() &&
             !m_server.FoundQuiet() && m_server.HasQueuedInput());
    NotifyStatus(false);
}

void CServerDlg::OnPollEvent(const SPollEvent& event) {
    if (event.report) {
        // A file error: the operator's error report instead of the event log; the records still
        // count the request it ended.
        m_view.ReportError(event.text);
        if (event.outcome)
            for (const auto& listener : m_outcomeListeners) listener(*event.outcome);
        return;
    }
    if (event.outcome) OnRequestOutcome(*event.outcome);
    if (!event.text.empty() && !(event.outcome && event.outcome->text == event.text))
        LogMessage(event.text, event.level);
}

SOperatorStatus CServerDlg::Status() const {
    return DescribeStatus(m_server, m_nPort, m_nBaudRate, m_bWaitingForPort && !m_bServerRunning);
}

void CServerDlg::NotifyStatus(bool force) {
    m_notify.Status([this] { return Status().Line(); }, force);
}

void CServerDlg::OnOK() { Close(EKey::Enter); }

void CServerDlg::OnCancel() { Close(EKey::Escape); }

void CServerDlg::Close(EKey key) {
    // Enter and Escape arrive as OK and Cancel; while held down they never close the window.
    if (m_bDestroyed || m_view.IsKeyHeld(key)) return;
    m_view.KillTimer(kTimerId);
    m_notify.Stopping();
    if (m_bServerRunning == 1) {
        m_server.StopServer();
        LogMessage("Server stopped !");
        m_view.Sleep(500);
    }
    m_monitoring.Stop(m_server.Activity(), ExitStatus() == 0);
    LogMessage("Program closed !");
    m_view.Sleep(500);
    DestroyWindow();
}

void CServerDlg::DestroyWindow() {
    m_bDestroyed = true;
    m_view.DestroyWindow();
}

void CServerDlg::OnRequestOutcome(const SRequestOutcome& outcome) {
    LogMessage(outcome.text, outcome.level);
    for (const auto& listener : m_outcomeListeners) listener(outcome);
}

void CServerDlg::LogMessage(const std::string& text) { LogMessage(text, EEventLevel::Info); }

void CServerDlg::LogMessage(const std::string& text, EEventLevel level) {
    const std::string line = MakeTimeStamp() + text;
    if (m_listLog.GetCount() > kMaxListLines)
        for (int i = 0; i < kTrimLines; ++i) m_listLog.DeleteFirst();
    m_listLog.Append(line, level);
    m_listLog.SelectLast();
    m_logFile.WriteLine(line);
}

bool CServerDlg::ReadSettings() {
    SSettingsRead read = ReadSettingsFile(SettingsPath(), true, m_settings);
    m_strSettingsError = read.error;
    m_settingsWarnings = std::move(read.warnings);
    m_nBaudRate = m_settings.baudRate;
    ApplySettings();
    return read.file != SSettingsRead::EFile::Missing;
}

void CServerDlg::ApplySettings() {
    const SOptionalSettings& s = m_settings.optional;
    m_server.SetDeviceMap(m_settings.devices);
    m_server.SetTlsFiles(s.tls);
    m_server.SetAccessLimits(s.access);
    m_server.SetPathRules(s.paths);
    SLinkLimits limits = m_server.GetLinkLimits();
    limits.blockPause = s.blockPause;
    m_server.SetLinkLimits(limits);
    m_retention.SetKeepDays(s.keepLogDays, s.keepBackupDays);
    m_monitoring.SetAudit(s.audit);
}

void CServerDlg::LogSettings() {
    for (const std::string& warning : m_settingsWarnings) LogMessage(warning, EEventLevel::Warning);
    m_settingsWarnings.clear();
    // The optional settings show only when they are set.
    const std::string auditFile = AuditFilePath(m_logFile.GetLogDir(), m_nPort, LocalNow());
    for (const std::string& line : DescribeSettings(m_settings.optional, auditFile)) LogMessage(line);
}

void CServerDlg::Reload() {
    m_bReloadPending = false;
    SSettingsRead read = ReadSettingsFile(SettingsPath(), false, m_settings);
    m_settingsWarnings = std::move(read.warnings);
    if (read.file != SSettingsRead::EFile::Read) {
        LogSettings();  // why nothing was taken; what is in force stays
        return;
    }
    ApplySettings();
    LogMessage("Settings re-read from " + SettingsPath());
    LogSettings();
    ApplyRetention();
}

void CServerDlg::ApplyRetention() {
    for (const std::string& line : m_retention.Apply(m_strBasePath, m_nPort)) LogMessage(line);
}

bool CServerDlg::WriteSettings() {
    WriteBaudRate(SettingsPath(), m_nBaudRate);
    return true;
}

std::string CServerDlg::GetVersionString() const { return ProgramVersion(); }

}  // namespace rs232
