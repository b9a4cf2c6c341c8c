// TLS (1.2 or later) under a network line (tcp+tls://, rfc2217+tls://). The terminal server's
// certificate is checked against the CA file and the URL's host name or address
// (subjectAltName); this end presents its certificate and key when the far end asks for one.
// Each connection reads the files afresh, so replaced files count from the next connection.
//
// File names: a name without '/' is a credential of the service when $CREDENTIALS_DIRECTORY is
// set (systemd's LoadCredential=), read from there; any other name is a path. A key file that
// others than its owner may read or write is refused (a credential is the service manager's
// copy, readable by the service alone, and not checked).
//
// Errors: nothing throws. Load and Handshake return false with why, in words for the operator
// (never a bare code); after Receive or Send failed, Failure() says why when TLS knows.
// The Windows build has no TLS: its Load refuses every +tls URL, saying so.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>

#include "link/PortBackend.h"

namespace rs232 {

class CTlsClient {
public:
    using Clock = std::chrono::steady_clock;

    CTlsClient();
    ~CTlsClient();
    CTlsClient(const CTlsClient&) = delete;
    CTlsClient& operator=(const CTlsClient&) = delete;

    // Reads the CA, and the certificate and key when set.
    bool Load(const STlsFiles& files, std::string& why);
    // The handshake on a connected non-blocking socket, finished by deadline. host is the URL's
    // host name or address, which the far end's certificate must name.
    bool Handshake(int fd, const std::string& host, Clock::time_point deadline, std::string& why);
    // As recv and send with MSG_DONTWAIT: bytes moved; Receive 0 when the far end closed; -1
    // with errno EAGAIN when nothing moves now or another on failure.
    ssize_t Receive(void* buffer, size_t size);
    ssize_t Send(const void* data, size_t size);
    // What to poll for before reading (direction POLLIN) or sending (POLLOUT) again after
    // EAGAIN: TLS may need the other direction first.
    short PollEvents(short direction) const;
    const std::string& Failure() const { return m_failure; }
    // Sends the closing alert, if it can go at once. The socket stays the caller's.
    void Shutdown();

private:
    // After an SSL call that moved nothing: -1 with EAGAIN when it would block (wants: what it
    // waits for), 0 when the far end closed, else -1 with errno and Failure() set.
    ssize_t Stopped(int result, short& wants);

    struct SState;
    std::unique_ptr<SState> m_state;
    std::string m_failure;
};

}  // namespace rs232
