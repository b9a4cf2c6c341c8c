#include "app/ServerDlg.h"

#include <algorithm>
#include <utility>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <vector>

#include "app/AuditLog.h"
#include "app/CommandLine.h"
#include "platform/Clock.h"
#include "platform/SettingsFile.h"
#include "app/SystemInfo.h"
#include "platform/FileOps.h"
#include "platform/Number.h"
#include "platform/Paths.h"
#include "platform/PortState.h"
#include "platform/TextFormat.h"

#ifndef RS232_VERSION
#define RS232_VERSION ""
#endif

namespace rs232 {

namespace {

// The access root when the settings file names none: empty (no limit) unless the environment
// sets one. The service's unit sets its state directory there.
constexpr const char* kDefaultRootVariable = "RS232_DEFAULT_ROOT";
// Set to 1 by the service's unit: a port whose device does not exist yet, or whose terminal
// server serves another connection on the line (a standby host), is waited for instead of
// ending the start.
constexpr const char* kWaitForPortVariable = "RS232_WAIT_FOR_PORT";

std::string EnvironmentText(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string DefaultAccessRoot() {
    const char* root = std::getenv(kDefaultRootVariable);
    return root ? root : "";
}

// Ranges of the optional numbers.
constexpr int kMaxBlockPauseMs = 5000;  // below the client's wait for the next block
constexpr int kMaxKeepDays = 36500;

// [section] key as a whole number from min to max: `absent` when the key is not there, and
// `current` (the value in force) with a warning when it holds anything else.
int64_t NumberSetting(const CIniFile& ini, const char* section, const char* key, int64_t min,
                      int64_t max, int64_t absent, int64_t current,
                      std::vector<std::string>& warnings) {
    const char* text = ini.GetValue(section, key, nullptr);
    if (!text) return absent;
    if (const auto value = ReadNumber(text, min, max)) return *value;
    warnings.push_back(FormatText("Setting [%s] %s=%s ignored: %s", section, key, text,
                                  NumberRangeText(min, max).c_str()));
    return current;
}

bool IsDirectory(const std::string& path) {
    CFileStatus status;
    return GetStatus(path, status) && (status.m_attribute & wire::kAttrDirectory) != 0;
}

// Names are appended to the base path as they are: without a final separator they land beside
// the directory it names.
std::string BasePathWarning(const std::string& base) {
    return FormatText("Base path %s does not end in /: names are appended as they are, so the log "
                      "goes to %sLOG/, backups to %sBAK/ and relative request paths to %s<name>",
                      base.c_str(), base.c_str(), base.c_str(), base.c_str());
}

std::string DescribeException(const std::exception& e) {
    if (auto* file = dynamic_cast<const CFileException*>(&e))
        return FormatText("File error: %s failed on %s: %s", file->Operation().c_str(),
                          file->Path().c_str(), std::strerror(file->Error()));
    return std::string("Error: ") + e.what();
}

}  // namespace

std::string FormatVersion(const std::string& dotted) {
    long part[4] = {};
    int consumed = 0;
    if (std::sscanf(dotted.c_str(), "%ld.%ld.%ld.%ld%n", &part[0], &part[1], &part[2], &part[3],
                    &consumed) != 4 ||
        static_cast<size_t>(consumed) != dotted.size())
        return "00.00.00.00";
    for (long p : part)
        if (p < 0 || p > 0xFFFF) return "00.00.00.00";
    return FormatText("%.2ld.%.2ld.%.2ld.%.2ld", part[0], part[1], part[2], part[3]);
}

CServerDlg::CServerDlg(IServerView& view, std::string commandLine, std::string exePath)
    : m_view(view),
      m_strCmdLine(std::move(commandLine)),
      m_strExePath(std::move(exePath)),
      m_listLog(view.EventList()) {
    const char* wait = std::getenv(kWaitForPortVariable);
    m_bWaitForPort = wait && ProfileInt(wait) != 0;
    m_server.SetAccessLimits({DefaultAccessRoot(), false});
    m_strStatusDir = EnvironmentText(kStatusDirVariable);
    AddOutcomeListener([this](const SRequestOutcome& outcome) { RecordOutcome(outcome); });
    // A download hands control back to the view between its blocks.
    m_server.SetMessagePump([this] { m_view.PumpMessages(); });
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
    m_server.SetBackupPath(m_strBasePath + "BAK/");

    if (!CLogFile::CreateDir(m_strBasePath + "LOG")) {
        m_bDirError = true;
        m_view.MessageBox("Log Dir Error");
        DestroyWindow();
    }
    m_logFile.SetLogDir(m_strBasePath + "LOG/");
    m_logFile.SetPrefix(FormatText("LOG%d_", port));

    m_view.SetWindowText(m_view.GetWindowText() + FormatText(" Port %d", port));

    LogMessage("Program (Version " + GetVersionString() + ") started ...");
    LogMessage("Application path is: " + m_strAppPath);
    LogMessage(FormatText("Com port is: %d", port));
    LogMessage("Base path is: " + m_strBasePath);
    if (!m_strBasePath.empty() && !m_strBasePath.ends_with('/'))
        LogMessage(BasePathWarning(m_strBasePath), EEventLevel::Warning);
    m_bServerRunning = 0;
    if (!ReadSettings()) {
        m_nBaudRate = kDefaultBaudRate;
        WriteSettings();
        ReadOptionalSettings(CIniFile(), true);  // the default root is checked all the same
    }
    // Settings that cannot be taken as they are never leave a weaker server running.
    if (!m_strSettingsError.empty()) {
        m_bStartFailed = true;
        LogMessage(m_strSettingsError, EEventLevel::Error);
        m_view.MessageBox(m_strSettingsError);
        if (!m_bDestroyed) DestroyWindow();
        return true;
    }
    LogMessage(FormatText("Baudrate is: %ld", static_cast<long>(m_nBaudRate)));
    if (const std::string notice = m_server.Notice(port); !notice.empty()) LogMessage(notice);
    LogOptionalSettings();
    if (!m_bDirError) ApplyRetention();
    OpenStateFile();

    const SMemoryStatus memory = QueryMemoryStatus();
    LogMessage(FormatText("Memory -> phys: %ld kB avail: %ld kB load: %ld%%", memory.totalKb,
                          memory.availableKb, memory.loadPercent));

    // A destroyed window never ticks: the view ignores the timer then.
    m_view.SetTimer(kTimerId, kTimerPeriodMs);
    return true;
}

void CServerDlg::OnTimer(int /*timerId*/, bool lineQuiet) {
    // A file error inside a request ends this tick only: the operator is told, the request's
    // status text is dropped, and the next tick polls again.
    try {
        if (m_bReloadPending && !m_server.IsServing()) Reload();
        const int64_t now = CurrentTime();
        if (m_retention.Due(now) && !m_server.IsServing()) ApplyRetention();
        if (m_bServerRunning == 0) {
            if (m_bWaitingForPort && CRs232Server::Clock::now() < m_nextPortLook) return;
            const int result = m_server.StartServer(m_nPort, m_nBaudRate, &m_listLog, &m_logFile);
            const std::string device = m_server.DeviceName(m_nPort);
            const bool held = m_server.LineHeldElsewhere();
            if (result == kPortOpenFailed && m_bWaitForPort && (held || !FileExists(device))) {
                // Quietly: one line now, the next when the device is there and the server starts.
                if (!std::exchange(m_bWaitingForPort, true)) {
                    LogMessage(FormatText(held ? "Serial port %s held by another connection, waiting for it"
                                               : "Serial port %s not there, waiting for it",
                                          device.c_str()));
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
        UpdateStateFile();
    } catch (const std::exception& e) {
        m_view.ReportError(DescribeException(e));
    }
}

bool CServerDlg::OnArrival() {
    if (m_bServerRunning == 0 || m_bDestroyed || m_server.IsServing() ||
        !m_server.HasQueuedInput())
        return false;
    Serve();
    return true;
}

void CServerDlg::Serve() {
    // A file error inside a request ends this run only: the operator is told, the request's
    // status text is dropped, and the next arrival or tick polls again.
    try {
        int polls = 0;
        do {
            SPollEvent event;
            m_server.Poll(event);
            if (event.outcome)
                OnRequestOutcome(*event.outcome);
            else if (!event.text.empty())
                LogMessage(event.text, event.level);
        } while (++polls < kMaxPollsPerWake && !m_bDestroyed && !m_server.IsServing() &&
                 !m_server.FoundQuiet() && m_server.HasQueuedInput());
        NotifyStatus(false);
    } catch (const std::exception& e) {
        m_view.ReportError(DescribeException(e));
    }
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
    if (!m_stateFile.Stop(m_server.Activity(), ExitStatus() == 0))
        LogMessage("State file " + m_stateFile.Path() + " not written: " + std::strerror(errno),
                   EEventLevel::Warning);
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
    const std::string path = SettingsPath();
    std::error_code ec;  // a dangling link is there, and unreadable
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, ec))) return false;
    CIniFile ini;
    std::string why;
    if (!LoadSettingsFile(path, ini, why)) {
        m_strSettingsError = FormatText("Settings file %s cannot be read: %s", path.c_str(),
                                        why.c_str());
        return true;
    }
    const char* value = ini.GetValue("COMPORT", "BAUDRATE", nullptr);
    m_nBaudRate = value ? ProfileInt(value) : kDefaultBaudRate;
    m_server.SetDeviceMap(ReadDeviceMap(ini));
    m_strStatusDir = ini.GetValue("STATUS", "DIR", m_strStatusDir.c_str());
    ReadOptionalSettings(ini, true);
    return true;
}

void CServerDlg::ReadOptionalSettings(const CIniFile& ini, bool atStart) {
    // Optional keys, off by default so that a plain settings file keeps the designed behaviour.
    // A value that cannot be taken leaves the one in force; a root that names no directory
    // stops a start, as serving without it would reach what it was to keep out.
    auto& warnings = m_settingsWarnings;
    SAccessLimits access = m_server.GetAccessLimits();
    const char* rootKey = ini.GetValue("ACCESS", "ROOT", nullptr);
    const std::string root = rootKey ? rootKey : DefaultAccessRoot();
    if ((rootKey || !root.empty()) && !IsDirectory(root)) {
        const std::string setting =
            (rootKey ? std::string("[ACCESS] ROOT") : kDefaultRootVariable) + "=" + root;
        if (atStart)
            m_strSettingsError = "Setting " + setting + " cannot be used: not a directory";
        else
            warnings.push_back("Setting " + setting + " ignored: not a directory");
    } else {
        access.root = root;
    }
    access.readOnly = NumberSetting(ini, "ACCESS", "READONLY", 0, 1, 0, access.readOnly, warnings);
    m_server.SetAccessLimits(access);

    // [DRIVES] and [PATHS] IGNORECASE, for clients written against drive letters and a file
    // system that ignores case.
    SPathRules paths = m_server.GetPathRules();
    paths.drives = ReadDriveMap(ini);
    // [DRIVES] DEFAULT=<letter>: the drive of a rooted path without a letter (else C).
    const char* drive = ini.GetValue("DRIVES", "DEFAULT", nullptr);
    const auto letter = static_cast<unsigned char>(drive ? drive[0] : 0);
    if (!drive)
        paths.defaultDrive = 0;
    else if (std::isalpha(letter) && !drive[1])
        paths.defaultDrive = static_cast<char>(std::toupper(letter));
    else
        warnings.push_back(
            FormatText("Setting [DRIVES] DEFAULT=%s ignored: not a drive letter", drive));
    paths.ignoreCase =
        NumberSetting(ini, "PATHS", "IGNORECASE", 0, 1, 0, paths.ignoreCase, warnings);
    m_server.SetPathRules(paths);

    // The pause before each download content block; a key taken out restores the default.
    SLinkLimits limits = m_server.GetLinkLimits();
    limits.blockPause = std::chrono::milliseconds(
        NumberSetting(ini, "COMPORT", "BLOCKPAUSE", 0, kMaxBlockPauseMs,
                      SLinkLimits{}.blockPause.count(), limits.blockPause.count(), warnings));
    m_server.SetLinkLimits(limits);
    m_nKeepLogDays = static_cast<int>(
        NumberSetting(ini, "LOG", "KEEPDAYS", 0, kMaxKeepDays, 0, m_nKeepLogDays, warnings));
    m_nKeepBackupDays = static_cast<int>(
        NumberSetting(ini, "BACKUP", "KEEPDAYS", 0, kMaxKeepDays, 0, m_nKeepBackupDays, warnings));
    m_bAudit = NumberSetting(ini, "LOG", "AUDIT", 0, 1, 0, m_bAudit, warnings) != 0;
}

void CServerDlg::LogOptionalSettings() {
    for (const std::string& warning : m_settingsWarnings) LogMessage(warning, EEventLevel::Warning);
    m_settingsWarnings.clear();
    // The optional settings show only when they are set.
    const SAccessLimits& access = m_server.GetAccessLimits();
    if (!access.root.empty()) LogMessage("Access root is: " + access.root);
    if (access.readOnly) LogMessage("Read-only: FT, DF, CF and DL are refused");
    for (const auto& [letter, directory] : m_server.GetPathRules().drives)
        LogMessage(FormatText("Drive %c: is %s", letter, directory.c_str()));
    if (const char drive = m_server.GetPathRules().defaultDrive)
        LogMessage(FormatText("Default drive is: %c:", drive));
    if (m_server.GetPathRules().ignoreCase) LogMessage("Letter case of request paths: ignored");
    if (m_server.GetLinkLimits().blockPause != SLinkLimits{}.blockPause)
        LogMessage(FormatText("Block pause is: %ld ms",
                              static_cast<long>(m_server.GetLinkLimits().blockPause.count())));
    if (m_nKeepLogDays > 0) LogMessage(FormatText("Log files kept for %d days", m_nKeepLogDays));
    if (m_bAudit) LogMessage("Audit records go to " + AuditFilePath(m_logFile.GetLogDir(), m_nPort, LocalNow()));
    if (m_nKeepBackupDays > 0)
        LogMessage(FormatText("Backup files kept for %d days", m_nKeepBackupDays));
}

void CServerDlg::Reload() {
    m_bReloadPending = false;
    // A file gone, unreadable or garbled says nothing: what is in force stays.
    CIniFile ini;
    std::string why;
    if (!LoadSettingsFile(SettingsPath(), ini, why)) {
        LogMessage(FormatText("Settings file %s ignored: %s; the settings in force stay",
                              SettingsPath().c_str(), why.c_str()),
                   EEventLevel::Warning);
        return;
    }
    ReadOptionalSettings(ini, false);
    LogMessage("Settings re-read from " + SettingsPath());
    LogOptionalSettings();
    ApplyRetention();
}

void CServerDlg::ApplyRetention() {
    m_retention.SetKeepDays(m_nKeepLogDays, m_nKeepBackupDays);
    for (const std::string& line : m_retention.Apply(m_strBasePath, m_nPort)) LogMessage(line);
}

bool CServerDlg::WriteSettings() {
    const std::string path = SettingsPath();
    CIniFile ini;
    ini.SetSpaces(false);
    if (FileExists(path)) ini.LoadFile(path.c_str());
    ini.SetValue("COMPORT", "BAUDRATE",
                 FormatText("%ld", static_cast<long>(m_nBaudRate)).c_str());
    // A file that cannot be written is tried again at the next start; nothing to report.
    ini.SaveFile(path.c_str());
    return true;
}

void CServerDlg::OpenStateFile() {
    if (m_strStatusDir.empty()) return;
    if (m_stateFile.Open(m_strStatusDir, m_nPort, m_server.DeviceName(m_nPort)))
        LogMessage("State file is: " + m_stateFile.Path());
    else
        LogMessage("State directory " + m_strStatusDir + " cannot be opened: " +
                       std::strerror(errno),
                   EEventLevel::Warning);
}

void CServerDlg::UpdateStateFile() {
    const bool up = m_bServerRunning == 1 && (m_server.LinkState() == ELinkState::Waiting ||
                                              m_server.LinkState() == ELinkState::Serving);
    const bool written = m_stateFile.Update(up, m_server.Activity(), m_server.Transfer());
    // One line when writing starts to fail, none while it goes on failing.
    if (!written && !std::exchange(m_bStateFileFailed, true))
        LogMessage("State file " + m_stateFile.Path() + " not written: " + std::strerror(errno),
                   EEventLevel::Warning);
    else if (written)
        m_bStateFileFailed = false;
}

void CServerDlg::RecordOutcome(const SRequestOutcome& outcome) {
    // Bytes that make no request of a known type are not counted or recorded.
    if (outcome.request == ERequest::Unknown) return;
    m_stateFile.Count(outcome);
    if (m_bAudit && !WriteAuditRecord(m_logFile.GetLogDir(), m_nPort, outcome))
        LogMessage("Audit record not written to " +
                       AuditFilePath(m_logFile.GetLogDir(), m_nPort, LocalNow()) + ": " +
                       std::strerror(errno),
                   EEventLevel::Error);
}

std::string CServerDlg::GetVersionString() const { return FormatVersion(RS232_VERSION); }

}  // namespace rs232
