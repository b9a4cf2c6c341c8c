// The Windows build has no TLS: every +tls:// URL is refused before connecting, saying so.
#include "link/TlsClient.h"

namespace rs232 {

struct CTlsClient::SState {};

CTlsClient::CTlsClient() = default;
CTlsClient::~CTlsClient() = default;

bool CTlsClient::Load(const STlsFiles&, std::string& why) {
    why = "this build for Windows has no TLS: +tls:// URLs need the Linux build";
    return false;
}

bool CTlsClient::Handshake(int, const std::string&, Clock::time_point, std::string&) { return false; }
ssize_t CTlsClient::Receive(void*, size_t) { return -1; }
ssize_t CTlsClient::Send(const void*, size_t) { return -1; }
short CTlsClient::PollEvents(short direction) const { return direction; }
void CTlsClient::Shutdown() {}

}  // namespace rs232
