// The server's state for the site's monitoring (platform/PortState.h): counts filled from each
// request's outcome, the link and the transfer in progress read from the engine. Update runs on
// every tick and costs a clock read unless a write may be due.
#pragma once

#include <chrono>
#include <string>

#include "platform/NewFile.h"
#include "platform/PortState.h"
#include "server/Outcome.h"
#include "server/Rs232Server.h"

namespace rs232 {

class CStateFile {
public:
    enum class EWrite { None, Written, Failed };  // what Update did

    // Starts writing <dir>/port<N>.prom. The directory is looked up by its path at every write,
    // so one removed and made again is written again, and one renamed is not followed.
    void Open(const std::string& dir, int port, const std::string& device);
    bool IsOpen() const { return !m_strDir.empty(); }
    std::string Path() const;

    // An outcome of a known request type.
    void Count(const SRequestOutcome& outcome);
    // Writes when the state changed and kStateMinInterval has passed since the last write, or
    // kStateRefresh has; Failed (errno) when a due write failed.
    EWrite Update(bool up, const SActivity& activity, const STransfer* transfer);
    // The last write: the port down and, when the server stopped normally, stopped now. A
    // failed start or a directory error leaves the port down, for the monitoring to see.
    EWrite Stop(const SActivity& activity, bool normally);

private:
    EWrite Write();
    void Take(bool up, const SActivity& activity, const STransfer* transfer);

    std::string m_strDir;
    SPortState m_state;
    SPortState m_written;  // as last written, its time aside
    std::chrono::steady_clock::time_point m_lastWrite{};
    bool m_bWritten = false;
    bool m_bStopped = false;
};

}  // namespace rs232
