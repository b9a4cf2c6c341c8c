// What the service manager hears from the server over NOTIFY_SOCKET: READY=1 once the port is
// open (or being waited for), STATUS=<the operator status line> when it changes, at most once
// per kStatusInterval, and STOPPING=1 when closing. Without a service manager nothing is sent
// and the status line is never made. Nothing is reported back: a message that cannot be sent is
// dropped.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "platform/ServiceManager.h"

namespace rs232 {

class CServiceNotifier {
public:
    static constexpr std::chrono::seconds kStatusInterval{1};

    void Ready() { m_socket.Send("READY=1"); }
    void Stopping() { m_socket.Send("STOPPING=1"); }
    // Sends the line `status` makes when it differs from the last one sent; force: even within
    // kStatusInterval of that.
    void Status(const std::function<std::string()>& status, bool force);

private:
    CNotifySocket m_socket;
    std::string m_strSent;
    std::chrono::steady_clock::time_point m_next{};
};

}  // namespace rs232
