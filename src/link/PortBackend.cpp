#include "link/PortBackend.h"

#include <cstring>

#include "platform/Number.h"

namespace rs232 {

namespace {

constexpr const char* kRawNotice =
    "Line settings of %s are fixed by the terminal server; the baud rate here does not apply";

}  // namespace

const SPortBackendKind kPortBackends[5] = {
    {"tcp://", MakeTcpBackend, kRawNotice, false},
    {"rfc2217://", MakeRfc2217Backend, nullptr, false},
    {"tcp+tls://", MakeTcpBackend, kRawNotice, true},
    {"rfc2217+tls://", MakeRfc2217Backend, nullptr, true},
    {"", [](const std::string& device, const STlsFiles*) { return MakeTtyBackend(device); },
     nullptr, false},
};

const SPortBackendKind& PortBackendKind(const std::string& device) {
    for (const SPortBackendKind& kind : kPortBackends)
        if (device.starts_with(kind.scheme)) return kind;
    return kPortBackends[4];
}

bool ReadNetworkAddress(const std::string& device, std::string& host, std::string& port,
                        std::string& why) {
    const char* scheme = PortBackendKind(device).scheme;
    const std::string address = device.substr(std::strlen(scheme));
    const size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == address.size()) {
        why = "expected HOST:PORT after " + std::string(scheme);
        return false;
    }
    host = address.substr(0, colon);
    port = address.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (ReadNumber(port, 1, 65535)) return true;
    why = "port " + port + " is " + NumberRangeText(1, 65535);
    return false;
}

}  // namespace rs232
