// The server's state for the site's monitoring (platform/PortState.h): counts filled from each
// request's outcome, the link and the transfer in progress read from the engine. Update runs on
// every tick and costs a clock read unless a write may be due.
#pragma once

#include <chrono>
#include <string>

#include "platform/FileOps.h"
#include "platform/NewFile.h"
#include "platform/PortState.h"
#include "server/Outcome.h"
#include "server/Rs232Server.h"

namespace rs232 {

class CStateFile {
public:
    // Starts writing <dir>/port<N>.prom; false (errno) when dir cannot be opened, and then
    // nothing is written.
    bool Open(const std::string& dir, int port, const std::string& device);
    bool IsOpen() const { return m_dir.IsOpen(); }
    std::string Path() const;

    // An outcome of a known request type.
    void Count(const SRequestOutcome& outcome);
    // Writes when the state changed and kStateMinInterval has passed since the last write, or
    // kStateRefresh has. False (errno) when a due write failed.
    bool Update(bool up, const SActivity& activity, const STransfer* transfer);
    // The last write: the port down and, when the server stopped normally, stopped now. A
    // failed start or a directory error leaves the port down, for the monitoring to see.
    bool Stop(const SActivity& activity, bool normally);

private:
    bool Write();
    void Take(bool up, const SActivity& activity, const STransfer* transfer);

    CDirectory m_dir;
    std::string m_strDir;
    SPortState m_state;
    SPortState m_written;  // as last written, its time aside
    std::chrono::steady_clock::time_point m_lastWrite{};
    bool m_bWritten = false;
    bool m_bStopped = false;
};

}  // namespace rs232
