#include "app/ServiceNotifier.h"

namespace rs232 {

void CServiceNotifier::Status(const std::function<std::string()>& status, bool force) {
    if (!m_socket.Enabled()) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now < m_next) return;
    const std::string line = status();
    if (line == m_strSent) return;
    m_socket.Send("STATUS=" + line);
    m_strSent = line;
    m_next = now + kStatusInterval;
}

}  // namespace rs232
