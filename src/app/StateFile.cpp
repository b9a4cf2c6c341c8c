#include "app/StateFile.h"

#include "platform/Clock.h"
#include "platform/FileOps.h"

namespace rs232 {

namespace {
// Readable by the monitoring's exporter, whatever user it runs as.
constexpr unsigned kStateFileMode = 0644;
}  // namespace

void CStateFile::Open(const std::string& dir, int port, const std::string& device) {
    m_strDir = dir.ends_with('/') ? dir : dir + '/';
    m_state = SPortState{};
    m_state.port = port;
    m_state.device = device;
    m_state.started = CurrentTime();
    m_bWritten = false;
    m_bStopped = false;
}

std::string CStateFile::Path() const { return m_strDir + PortStateFileName(m_state.port); }

void CStateFile::Count(const SRequestOutcome& outcome) {
    static_assert(static_cast<int>(ERequest::DL) == kRequestKinds - 1 &&
                  static_cast<int>(EResult::Failed) == kResultKinds - 1);
    ++m_state.requests[static_cast<int>(outcome.request)][static_cast<int>(outcome.result)];
    if (outcome.request == ERequest::FT) m_state.uploaded += outcome.bytes;
    if (outcome.request == ERequest::RF) m_state.downloaded += outcome.bytes;
    m_state.retries += outcome.retries;
}

void CStateFile::Take(bool up, const SActivity& activity, const STransfer* transfer) {
    m_state.up = up;
    m_state.lastContact = activity.lastContact;
    m_state.transferDone = transfer ? transfer->done : 0;
    m_state.transferSize = transfer ? transfer->total : 0;
}

CStateFile::EWrite CStateFile::Update(bool up, const SActivity& activity,
                                      const STransfer* transfer) {
    const auto now = std::chrono::steady_clock::now();
    if (!IsOpen() || m_bStopped || (m_bWritten && now - m_lastWrite < kStateMinInterval))
        return EWrite::None;
    Take(up, activity, transfer);
    m_state.updated = m_written.updated;
    if (m_bWritten && m_state == m_written && now - m_lastWrite < kStateRefresh) return EWrite::None;
    return Write();
}

CStateFile::EWrite CStateFile::Stop(const SActivity& activity, bool normally) {
    if (!IsOpen()) return EWrite::None;
    Take(false, activity, nullptr);
    m_bStopped = true;
    m_state.stopped = normally ? CurrentTime() : 0;
    return Write();
}

CStateFile::EWrite CStateFile::Write() {
    // Tried again at the earliest after kStateMinInterval, whether it worked or not.
    m_lastWrite = std::chrono::steady_clock::now();
    m_bWritten = true;
    m_state.updated = CurrentTime();
    m_written = m_state;
    const std::string text = FormatPortState(m_state);
    CDirectory dir;
    if (!dir.Open(m_strDir)) return EWrite::Failed;
    CNewFile file(dir, PortStateFileName(m_state.port));
    if (!file.Create(true) || !file.SetMode(kStateFileMode)) return EWrite::Failed;
    try {
        file.Write(text.data(), static_cast<int>(text.size()));
    } catch (const CFileException& e) {
        errno = e.Error();
        return EWrite::Failed;
    }
    // Not synced: the state of a running process, written again every few seconds.
    return file.Commit(true, false) ? EWrite::Written : EWrite::Failed;
}

}  // namespace rs232
