// The server's records for the site's monitoring: the state file (StateFile.h), kept up to date
// on every tick, and an audit record (AuditLog.h) of every request of a known type when audit
// records are on. Failures are event lines through `log` (one when the state file starts to fail,
// none while it goes on failing, one when it is written again); nothing throws.
#pragma once

#include <functional>
#include <string>

#include "app/StateFile.h"
#include "log/EventLevel.h"

namespace rs232 {

class CMonitoring {
public:
    using Log = std::function<void(const std::string& text, EEventLevel level)>;
    explicit CMonitoring(Log log) : m_log(std::move(log)) {}

    // Starts the state file in stateDir (none when empty) with its line; the audit records of
    // port go to logDir.
    void Open(const std::string& stateDir, const std::string& logDir, int port,
              const std::string& device);
    void SetAudit(bool on) { m_bAudit = on; }
    void Update(bool up, const SActivity& activity, const STransfer* transfer);
    void Record(const SRequestOutcome& outcome);
    // The last write; normally: the server stopped as asked (else its port is left down).
    void Stop(const SActivity& activity, bool normally);

private:
    void Took(CStateFile::EWrite write);

    Log m_log;
    CStateFile m_stateFile;
    std::string m_strLogDir;
    int m_nPort = 0;
    bool m_bAudit = false;
    bool m_bStateFileFailed = false;
};

}  // namespace rs232
