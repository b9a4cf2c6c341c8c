// The service manager's two channels to a service, both read from the environment:
// NOTIFY_SOCKET (state notifications, one datagram per message, "KEY=value" lines) and
// JOURNAL_STREAM ("<dev>:<inode>" of the stream that stdout/stderr were connected to).
#pragma once

#include <string>

namespace rs232 {

class CNotifySocket {
public:
    // Takes the address from NOTIFY_SOCKET: a path, or '@' for an abstract name.
    CNotifySocket();
    ~CNotifySocket();
    CNotifySocket(const CNotifySocket&) = delete;
    CNotifySocket& operator=(const CNotifySocket&) = delete;

    // False when no service manager listens (no or a malformed NOTIFY_SOCKET).
    bool Enabled() const { return m_fd >= 0; }
    // One datagram, never waiting; false when it could not be sent (nothing else happens).
    bool Send(const std::string& message) const;

private:
    int m_fd = -1;
    std::string m_address;  // raw sun_path bytes, a leading NUL for an abstract name
};

// True when fd is still the stream JOURNAL_STREAM names (not redirected since).
bool IsJournalStream(int fd);

}  // namespace rs232
