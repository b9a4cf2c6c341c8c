#include "app/Monitoring.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "app/AuditLog.h"
#include "platform/Clock.h"

namespace rs232 {

void CMonitoring::Open(const std::string& stateDir, const std::string& logDir, int port,
                       const std::string& device) {
    m_strLogDir = logDir;
    m_nPort = port;
    if (stateDir.empty()) return;
    m_stateFile.Open(stateDir, port, device);
    m_log("State file is: " + m_stateFile.Path(), EEventLevel::Info);
}

void CMonitoring::Took(CStateFile::EWrite write) {
    // One line when writing starts to fail, one when it works again.
    if (write == CStateFile::EWrite::Failed && !std::exchange(m_bStateFileFailed, true))
        m_log("State file " + m_stateFile.Path() + " not written: " + std::strerror(errno),
              EEventLevel::Warning);
    else if (write == CStateFile::EWrite::Written && std::exchange(m_bStateFileFailed, false))
        m_log("State file " + m_stateFile.Path() + " written again", EEventLevel::Info);
}

void CMonitoring::Update(bool up, const SActivity& activity, const STransfer* transfer) {
    Took(m_stateFile.Update(up, activity, transfer));
}

void CMonitoring::Record(const SRequestOutcome& outcome) {
    // Bytes that make no request of a known type are not counted or recorded.
    if (outcome.request == ERequest::Unknown) return;
    m_stateFile.Count(outcome);
    if (m_bAudit && !WriteAuditRecord(m_strLogDir, m_nPort, outcome))
        m_log("Audit record not written to " + AuditFilePath(m_strLogDir, m_nPort, LocalNow()) +
                  ": " + std::strerror(errno),
              EEventLevel::Error);
}

void CMonitoring::Stop(const SActivity& activity, bool normally) {
    Took(m_stateFile.Stop(activity, normally));
}

}  // namespace rs232
